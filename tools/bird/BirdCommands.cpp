#include "BirdCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "AtomicWrite.h"
#include "BirdDescription.h"
#include "BirdWriter.h"
#include "Log.h"

namespace {

constexpr size_t kHeaderSize = 6;
constexpr size_t kBlockHeaderSize = 5;
constexpr size_t kCountSize = 4;
constexpr size_t kChecksumSize = 4;

void Error(const std::string& text) {
    fprintf(stderr, "kestrix-bird: %s\n", text.c_str());
}
void Warning(const std::string& text) {
    fprintf(stderr, "kestrix-bird: warning: %s\n", text.c_str());
}

int UsageError(const std::string& verb, const std::string& text) {
    Error(text);
    fprintf(stderr, "Try 'kestrix-bird %s --help'.\n", verb.c_str());
    return 1;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            return true;
        }
    }
    return false;
}

uint32_t ReadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A loaded image and what its header says about the updater's view of it.
struct LoadedImage {
    BirdFile bird;
    uint64_t fileSize = 0;
    bool verifies = false;  // what BirdFile::VerifyFile decides for the store
};

// Checks the header first so that a bad file gets a precise message, then loads the
// file with the updater's own reader, whose log goes to standard error with --verbose.
std::optional<LoadedImage> Load(const std::string& path, bool verbose) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        Error("cannot open " + path + ": " + strerror(errno));
        return std::nullopt;
    }
    LoadedImage image;
    image.fileSize = uint64_t(in.tellg());
    uint8_t header[kHeaderSize] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(header), sizeof header);
    if (image.fileSize <= kHeaderSize) {
        Error(path + " is too short for a BIRD file (" + std::to_string(image.fileSize) +
              " bytes; the header alone takes 6 and a payload must follow)");
        return std::nullopt;
    }
    if (memcmp(header, BirdFile::BIRD_FILE_SIGNATURE, sizeof BirdFile::BIRD_FILE_SIGNATURE) != 0) {
        char found[32];
        snprintf(found, sizeof found, "%02X %02X %02X %02X", header[0], header[1], header[2],
                 header[3]);
        Error(path + " is not a BIRD file (it starts with " + found + ", not \"bird\")");
        return std::nullopt;
    }
    image.verifies = header[4] != 0 && header[5] != 0;
    if (!image.verifies) {
        char version[16];
        snprintf(version, sizeof version, "%02X %02X", header[4], header[5]);
        Warning(path + ": format version " + version +
                " has a zero byte; the updater refuses to use it from its store");
    }
    if (verbose) {
        Log::SetOutput(stderr);
        Log::ActivatePackage(kLogBirdFile);
    }
    try {
        image.bird = BirdFile(path.c_str());
    } catch (const std::runtime_error&) {
        Error(path +
              ": the compressed payload does not inflate (corrupt, truncated or larger than " +
              std::to_string(BirdFile::MAX_PAYLOAD_SIZE >> 20) + " MiB)" +
              (verbose ? "" : "; --verbose shows the reader's log"));
        return std::nullopt;
    }
    return image;
}

// Bytes the parsed blocks account for: count, headers and data, checksum.
uint64_t LaidOutSize(const BirdFile& bird) {
    uint64_t size = kCountSize + kChecksumSize;
    for (const BirdBlock& block : bird.blocks) {
        size += kBlockHeaderSize + block.length;
    }
    return size;
}

// Reports what the reader only logs: blocks that do not add up to the payload.
void WarnAboutLayout(const std::string& path, const BirdFile& bird) {
    if (bird.payloadSize >= kCountSize) {
        const uint32_t declared = ReadBE32(bird.payload.data());
        if (declared != bird.blockCount) {
            Warning(path + ": declares " + std::to_string(declared) + " blocks, " +
                    std::to_string(bird.blockCount) + " parsed");
        }
    }
    const uint64_t laidOut = LaidOutSize(bird);
    if (laidOut != bird.payloadSize) {
        Warning(path + ": the parsed blocks and checksum take " + std::to_string(laidOut) +
                " bytes of a " + std::to_string(bird.payloadSize) +
                "-byte payload (a block was dropped, is cut short, or bytes follow the checksum)");
    }
}

const char* TypeName(uint8_t type) {
    switch (type) {
        case BirdFile::BLOCK_LOADER:
            return "loader";
        case BirdFile::BLOCK_FIRMWARE:
            return "firmware";
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            return "serial-offsets";
        case BirdFile::BLOCK_INFO:
            return "info";
        case BirdFile::BLOCK_LOADER_START:
            return "loader-start";
        default:
            return "(unknown)";
    }
}

void PrintInfo(const std::string& path, const LoadedImage& image) {
    const BirdFile& bird = image.bird;
    printf("file:             %s\n", path.c_str());
    printf("signature:        bird\n");
    printf("format version:   %02X %02X\n", bird.version >> 8, bird.version & 0xFF);
    printf("file size:        %llu bytes\n", static_cast<unsigned long long>(image.fileSize));
    printf("payload size:     %u bytes\n", bird.payloadSize);
    if (bird.payloadSize >= kCountSize) {
        printf("declared blocks:  %u\n", ReadBE32(bird.payload.data()));
    }
    printf("blocks:           %u\n", bird.blockCount);
    printf("  %-4s %-19s %-6s %-11s %s\n", "#", "type", "flags", "length", "address");
    for (size_t i = 0; i < bird.blocks.size(); ++i) {
        const BirdBlock& block = bird.blocks[i];
        char address[16] = "-";
        if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE) {
            snprintf(address, sizeof address, "0x%08X", block.address);
        }
        printf("  %-4zu %-2u %-16s %-6u %-11u %s\n", i, block.type, TypeName(block.type),
               block.flags, block.length, address);
    }
    const std::vector<BirdBlock> infos = bird.FindBlocks(BirdFile::BLOCK_INFO);
    if (infos.empty()) {
        printf("info block:       none\n");
    } else {
        std::string model(reinterpret_cast<const char*>(infos.front().data) + 48,
                          strnlen(reinterpret_cast<const char*>(infos.front().data) + 48, 16));
        model.erase(model.find_last_not_of(' ') + 1);
        printf("info block:\n");
        printf("  build:          %u\n", bird.GetBuild());
        printf("  version:        %s\n", bird.GetVersion().c_str());
        printf("  serial number:  %08X\n", bird.GetSerialNumber());
        printf("  model:          %s\n", model.c_str());
    }
    if (bird.hasSerialNumberBlock) {
        printf("serial offsets:   serial number word 0x%08X, descriptor text 0x%08X\n",
               bird.serialNumberOffset, bird.descriptorOffset);
    } else {
        printf("serial offsets:   none\n");
    }
    const std::vector<BirdBlock> starts = bird.FindBlocks(BirdFile::BLOCK_LOADER_START);
    if (starts.empty()) {
        printf("loader start:     none\n");
    } else {
        printf("loader start:     0x%08X\n", ReadBE32(starts.front().data));
    }
    if (LaidOutSize(bird) == bird.payloadSize) {
        const uint32_t crc = BirdChecksum(bird.payload.data(), bird.payloadSize - kChecksumSize);
        printf("checksum:         0x%08X (%s)\n", bird.checksum,
               crc == bird.checksum ? "the CRC-32 of the payload"
                                    : "not the CRC-32 of the payload, which the updater ignores");
    } else {
        printf("checksum:         0x%08X (payload does not add up)\n", bird.checksum);
    }
}

bool ParseKey(const std::string& text, unsigned int key[4]) {
    if (text.empty() || text.back() == ',') {
        return false;
    }
    std::stringstream words(text);
    std::string word;
    int count = 0;
    while (std::getline(words, word, ',')) {
        if (count == 4 || word.empty()) {
            return false;
        }
        const size_t start = word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0 ? 2 : 0;
        if (word.size() - start == 0 || word.size() - start > 8 ||
            word.find_first_not_of("0123456789abcdefABCDEF", start) != std::string::npos) {
            return false;
        }
        key[count++] = unsigned(strtoul(word.c_str() + start, nullptr, 16));
    }
    return count == 4;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace

int RunPack(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        fputs(BirdHelp("pack"), stdout);
        return 0;
    }
    std::string description;
    std::string output;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (++i == args.size()) {
                return UsageError("pack", args[i - 1] + " needs a file name");
            }
            output = args[i];
        } else if (args[i].rfind("--output=", 0) == 0) {
            output = args[i].substr(9);
        } else if (!args[i].empty() && args[i][0] == '-') {
            return UsageError("pack", "unknown option " + args[i]);
        } else if (description.empty()) {
            description = args[i];
        } else {
            return UsageError("pack", "only one description file, got " + args[i] + " too");
        }
    }
    if (description.empty() || output.empty()) {
        return UsageError("pack", "needs a description file and -o FILE.bird");
    }
    std::ifstream in(description, std::ios::binary);
    if (!in) {
        Error("cannot open " + description + ": " + strerror(errno));
        return 1;
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        const BirdWriter writer = ParseBirdDescription(text.str(), DirectoryOf(description));
        std::string error;
        if (!writer.Write(output, error)) {
            Error(error);
            return 1;
        }
        printf("wrote %s: %zu blocks\n", output.c_str(), writer.BlockCount());
    } catch (const std::exception& e) {
        Error(description + ": " + e.what());
        return 1;
    }
    return 0;
}

int RunInfo(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        fputs(BirdHelp("info"), stdout);
        return 0;
    }
    bool verbose = false;
    std::string path;
    for (const std::string& arg : args) {
        if (arg == "-v" || arg == "--verbose") {
            verbose = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("info", "unknown option " + arg);
        } else if (path.empty()) {
            path = arg;
        } else {
            return UsageError("info", "only one file, got " + arg + " too");
        }
    }
    if (path.empty()) {
        return UsageError("info", "needs a BIRD file");
    }
    const std::optional<LoadedImage> image = Load(path, verbose);
    if (!image) {
        return 1;
    }
    PrintInfo(path, *image);
    WarnAboutLayout(path, image->bird);
    return image->verifies ? 0 : 1;
}

int RunScramble(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        fputs(BirdHelp("scramble"), stdout);
        return 0;
    }
    std::optional<std::string> keyText;
    bool verbose = false;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" || args[i] == "-k") {
            if (++i == args.size()) {
                return UsageError("scramble", args[i - 1] + " needs four words");
            }
            keyText = args[i];
        } else if (args[i].rfind("--key=", 0) == 0) {
            keyText = args[i].substr(6);
        } else if (args[i] == "-v" || args[i] == "--verbose") {
            verbose = true;
        } else if (!args[i].empty() && args[i][0] == '-') {
            return UsageError("scramble", "unknown option " + args[i]);
        } else {
            files.push_back(args[i]);
        }
    }
    unsigned int key[4] = {};
    if (!keyText) {
        return UsageError("scramble", "needs --key W0,W1,W2,W3");
    }
    if (!ParseKey(*keyText, key)) {
        return UsageError("scramble", "the key \"" + *keyText +
                                          "\" is not four comma-separated hexadecimal words");
    }
    if (files.size() != 2) {
        return UsageError("scramble", "needs an input and an output file");
    }
    std::optional<LoadedImage> image = Load(files[0], verbose);
    if (!image) {
        return 1;
    }
    WarnAboutLayout(files[0], image->bird);
    BirdFile& bird = image->bird;
    ScrambleFirmwareBlocks(bird, key);
    const std::vector<uint8_t> out =
        EncodeBirdImage(bird.version, bird.payload.data(), bird.payloadSize);
    int osError = 0;
    if (AtomicWrite(files[1], out.data(), out.size(), &osError) != aErrNone) {
        Error("cannot write " + files[1] + ": " + strerror(osError));
        return 1;
    }
    printf("scrambled %zu firmware blocks of %s into %s\n",
           bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), files[0].c_str(), files[1].c_str());
    return 0;
}
