#include "BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "Log.h"
#include "unix_file.h"

namespace {

constexpr unsigned kLogPackage = kLogBirdFile;

// Layout of a block header: the type/flags byte and the 32-bit data length.
constexpr size_t kBlockHeaderSize = 5;
constexpr size_t kCountSize = 4;
constexpr size_t kChecksumSize = 4;
constexpr size_t kHeaderSize = 6;

// Fields of the info block: four blank-padded 16-byte texts.
constexpr size_t kInfoFieldSize = 16;
constexpr size_t kInfoBuildOffset = 0;
constexpr size_t kInfoVersionOffset = 16;
constexpr size_t kInfoSerialOffset = 32;
constexpr size_t kInfoModelOffset = 48;

// First guess for the inflated size; the buffer doubles from there up to the cap.
constexpr size_t kInitialInflateSize = 64 * 1024;

uint32_t ReadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint32_t ReadLE32(const uint8_t* p) {
    return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

void WriteLE32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = uint8_t(value >> (8 * i));
    }
}

// Smallest block data length the reader needs to interpret a block of `type`.
uint32_t MinimumLength(uint8_t type) {
    switch (type) {
        case BirdFile::BLOCK_LOADER:
        case BirdFile::BLOCK_FIRMWARE:
            return BirdFile::ADDRESS_SIZE;
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            return BirdFile::SERIAL_OFFSETS_BLOCK_SIZE;
        case BirdFile::BLOCK_INFO:
            return BirdFile::INFO_BLOCK_SIZE;
        case BirdFile::BLOCK_LOADER_START:
            return BirdFile::LOADER_START_BLOCK_SIZE;
        default:
            return 0;
    }
}

// Up to `count` bytes of an info field as a zero-terminated text.
std::string InfoText(const BirdBlock& info, size_t offset, size_t count) {
    const char* field = reinterpret_cast<const char*>(info.data + offset);
    return std::string(field, strnlen(field, count));
}

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "") {
    if (!Load()) {
        throw std::runtime_error("Failed to load bird data");
    }
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this != &other) {
        path = std::move(other.path);
        signature = other.signature;
        version = other.version;
        checksum = other.checksum;
        blockCount = other.blockCount;
        // Moving the vector hands over its buffer, so the records keep pointing at it.
        blocks = std::move(other.blocks);
        hasSerialNumberBlock = other.hasSerialNumberBlock;
        serialNumberOffset = other.serialNumberOffset;
        descriptorOffset = other.descriptorOffset;
        payload = std::move(other.payload);
        payloadSize = other.payloadSize;
        other.Reset();
    }
    return *this;
}

void BirdFile::Reset() noexcept {
    path.clear();
    signature = 0;
    version = 0;
    checksum = 0;
    blockCount = 0;
    blocks.clear();
    hasSerialNumberBlock = false;
    serialNumberOffset = 0;
    descriptorOffset = 0;
    payload.clear();
    payloadSize = 0;
}

bool BirdFile::VerifyFile(const char* filePath) {
    aFileHandle file = aFile_Open(filePath, aFileModeRead);
    if (!file) {
        Log::log(kLogPackage, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath ? filePath : "");
        return false;
    }
    uint8_t header[kHeaderSize] = {};
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && got == kHeaderSize &&
           memcmp(header, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0 && header[4] != 0 &&
           header[5] != 0;
}

bool BirdFile::Load() {
    const char* name = path.c_str();
    Log::log(kLogPackage, "BIRDFILE: Loading File [%s]\n", name);
    if (!aFile_Exists(name)) {
        Log::log(kLogPackage, "BIRDFILE: BIRD file not found [%s]\n", name);
        return false;
    }
    aFileHandle file = aFile_Open(name, aFileModeRead);
    if (!file) {
        Log::log(kLogPackage, "BIRDFILE: Error - cannot open bird file: '%s'\n", name);
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(kLogPackage, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, name);
        aFile_Close(&file);
        return false;
    }
    std::vector<uint8_t> raw(size);
    size_t got = 0;
    if (size > 0) {
        err = aFile_Read(file, raw.data(), size, &got);
    }
    aFile_Close(&file);
    if (err != aErrNone) {
        Log::log(kLogPackage, "BIRDFILE: Error (%d) reading %s\n", err, name);
        return false;
    }
    if (got != size) {
        Log::log(kLogPackage, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", name,
                 got, size);
        return false;
    }
    if (size <= kHeaderSize) {
        Log::log(kLogPackage, "BIRDFILE: Error - %s is too short for a bird file (%zu bytes)\n",
                 name, size);
        return false;
    }
    signature = ReadBE32(raw.data());
    version = uint16_t((raw[4] << 8) | raw[5]);
    if (!Inflate(raw.data() + kHeaderSize, size - kHeaderSize)) {
        return false;
    }
    // Mismatches found by the scan are logged there; the blocks parsed still count.
    ScanBlocks();
    FindSerialOffsets();
    hasSerialNumberBlock = !FindBlocks(BLOCK_SERIAL_OFFSETS).empty();
    return true;
}

// Streams the zlib payload into a buffer that doubles as needed, up to
// MAX_PAYLOAD_SIZE. Failures give the codes zlib's one-shot uncompress would:
// Z_DATA_ERROR for corrupt or truncated input, Z_BUF_ERROR when the output does not
// fit.
bool BirdFile::Inflate(const uint8_t* data, size_t length) {
    z_stream zs{};
    int rc = inflateInit(&zs);
    std::vector<uint8_t> out;
    size_t produced = 0;
    if (rc == Z_OK) {
        out.resize(std::clamp(length * 4, kInitialInflateSize, MAX_PAYLOAD_SIZE));
        size_t fed = 0;
        for (;;) {
            if (zs.avail_in == 0 && fed < length) {
                zs.next_in = const_cast<Bytef*>(data + fed);
                zs.avail_in = uInt(std::min<size_t>(length - fed, UINT_MAX));
                fed += zs.avail_in;
            }
            if (produced == out.size() && out.size() < MAX_PAYLOAD_SIZE) {
                out.resize(std::min(out.size() * 2, MAX_PAYLOAD_SIZE));
            }
            zs.next_out = out.data() + produced;
            zs.avail_out = uInt(out.size() - produced);
            rc = inflate(&zs, Z_NO_FLUSH);
            produced = size_t(zs.next_out - out.data());
            // Z_BUF_ERROR with a full buffer only asks for more room.
            const bool full = zs.avail_out == 0;
            if (rc == Z_OK || (rc == Z_BUF_ERROR && full && out.size() < MAX_PAYLOAD_SIZE)) {
                continue;
            }
            if (rc == Z_NEED_DICT || (rc == Z_BUF_ERROR && !full)) {
                rc = Z_DATA_ERROR;  // no dictionary is ever set; or the input ended early
            }
            break;
        }
        inflateEnd(&zs);
    }
    if (rc != Z_STREAM_END) {
        Log::log(kLogPackage, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        payloadSize = 0;
        return false;
    }
    // Exact size: the spare room of the last doubling goes back, and nothing past the
    // payload is addressable.
    out.resize(produced);
    out.shrink_to_fit();
    payload = std::move(out);
    payloadSize = uint32_t(produced);
    return true;
}

// Splits the payload into block records. A block whose data would run past the
// payload ends the scan; a block too short for its type's layout is skipped. Both
// are logged, and the blocks before them are kept. False on any mismatch.
bool BirdFile::ScanBlocks() {
    const uint8_t* p = payload.data();
    const size_t size = payloadSize;
    blockCount = 0;
    blocks.clear();
    const uint32_t declared = size >= kCountSize ? ReadBE32(p) : 0;
    size_t pos = std::min(kCountSize, size);
    Log::log(kLogPackage, "BIRDFILE:\t\t File reports %d blocks\n", declared);
    Log::log(kLogPackage, "BIRDFILE: Bird file objects:\n");
    Log::log(kLogPackage, "BIRDFILE: \t\tType Flags Length\n");

    bool framed = true;
    while (size - pos > kChecksumSize) {
        const uint8_t typeFlags = p[pos];
        const uint32_t length = ReadBE32(p + pos + 1);
        const size_t dataPos = pos + kBlockHeaderSize;
        BirdBlock block;
        block.type = typeFlags & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((typeFlags & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = length;
        Log::log(kLogPackage, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags, length);
        if (length > size - dataPos) {
            Log::log(kLogPackage,
                     "BIRDFILE: Block of %u bytes at offset %zu runs past the end of the payload "
                     "(%zu bytes left), dropped\n",
                     length, pos, size - dataPos);
            framed = false;
            break;
        }
        block.data = payload.data() + dataPos;
        pos = dataPos + length;
        if (length < MinimumLength(block.type)) {
            Log::log(kLogPackage,
                     "BIRDFILE: Block of type %02X has %u bytes, less than the %u it needs, "
                     "dropped\n",
                     block.type, length, MinimumLength(block.type));
            continue;
        }
        if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) {
            block.address = ReadBE32(block.data);
        } else if (block.type == BLOCK_INFO) {
            for (size_t field = 0; field < INFO_BLOCK_SIZE; field += kInfoFieldSize) {
                Log::log(kLogPackage, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + field));
            }
        }
        blocks.push_back(block);
        ++blockCount;
    }

    if (framed && size - pos >= kChecksumSize) {
        checksum = ReadBE32(p + pos);
        pos += kChecksumSize;
        Log::log(kLogPackage, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    }
    bool consistent = true;
    if (pos != size) {
        Log::log(kLogPackage,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(size - pos));
        consistent = false;
    }
    if (blockCount != declared) {
        Log::log(kLogPackage, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 blockCount, declared);
        consistent = false;
    }
    return consistent;
}

void BirdFile::FindSerialOffsets() {
    serialNumberOffset = 0;
    descriptorOffset = 0;
    const std::vector<BirdBlock> offsets = FindBlocks(BLOCK_SERIAL_OFFSETS);
    if (blockCount == 0 || offsets.empty()) {
        return;
    }
    serialNumberOffset = ReadBE32(offsets.front().data);
    descriptorOffset = ReadBE32(offsets.front().data + 4);
    Log::log(kLogPackage, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
             serialNumberOffset, descriptorOffset);
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    std::copy_if(blocks.begin(), blocks.end(), std::back_inserter(found),
                 [type](const BirdBlock& block) { return block.type == type; });
    return found;
}

const BirdBlock* BirdFile::FirstInfoBlock() const {
    auto info = std::find_if(blocks.begin(), blocks.end(),
                             [](const BirdBlock& block) { return block.type == BLOCK_INFO; });
    return info == blocks.end() ? nullptr : &*info;
}

unsigned BirdFile::GetBuild() const {
    const BirdBlock* info = FirstInfoBlock();
    if (!info) {
        return 0;
    }
    return unsigned(
        strtoul(InfoText(*info, kInfoBuildOffset, kInfoFieldSize - 1).c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    const BirdBlock* info = FirstInfoBlock();
    if (!info) {
        return {};
    }
    std::string text = InfoText(*info, kInfoVersionOffset, kInfoFieldSize - 1);
    return text.substr(0, text.find(' '));
}

unsigned BirdFile::GetSerialNumber() const {
    const BirdBlock* info = FirstInfoBlock();
    if (!info) {
        return 0;
    }
    return unsigned(strtoul(InfoText(*info, kInfoSerialOffset, 8).c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(unsigned serial) const {
    return serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* model) const {
    const BirdBlock* info = FirstInfoBlock();
    if (!info || !model) {
        return false;
    }
    std::string field = InfoText(*info, kInfoModelOffset, kInfoFieldSize);
    field.erase(field.find_last_not_of(' ') + 1);
    if (strncmp(field.c_str(), model, strlen(model)) != 0) {
        return false;
    }
    Log::log(kLogPackage, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::ReplaceSerialNumber(unsigned serial) {
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool replaced = false;
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        // The block's image range in 64 bits, so no address near 4 GiB can wrap.
        const uint64_t begin = block.address;
        const uint64_t end = begin + block.length - ADDRESS_SIZE;
        uint8_t* image = block.data + ADDRESS_SIZE;
        if (serialNumberOffset != 0) {
            replaced = true;
            if (serialNumberOffset >= begin && serialNumberOffset + uint64_t(4) <= end) {
                uint8_t* word = image + (serialNumberOffset - begin);
                Log::log(kLogPackage, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         ReadLE32(word), serial);
                WriteLE32(word, serial);
            }
        }
        // The descriptor text is UTF-16LE: 8 code units whose low bytes get the digits.
        if (descriptorOffset != 0 && descriptorOffset >= begin &&
            descriptorOffset + uint64_t(16) <= end) {
            uint8_t* units = image + (descriptorOffset - begin);
            for (int i = 0; i < 8; ++i) {
                units[2 * i] = uint8_t(text[i]);
            }
            replaced = true;
        }
    }
    return replaced;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* key) {
    if (!key) {
        return true;
    }
    uint8_t k[16];
    for (int i = 0; i < 16; ++i) {
        k[i] = uint8_t(key[i / 4] >> (24 - 8 * (i % 4)));
    }
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        uint8_t* image = block.data + ADDRESS_SIZE;
        uint8_t previous = 0;
        for (uint32_t j = 0; j < block.length - ADDRESS_SIZE; ++j) {
            image[j] = uint8_t(image[j] ^ k[j % 16] ^ previous);
            previous = image[j];
        }
    }
    return true;
}

bool BirdFile::ValidateData(const unsigned char* pattern, unsigned count) const {
    Log::log(kLogPackage, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || !pattern || count == 0 || count > block.length) {
            continue;
        }
        for (uint32_t pos = 0; pos + count <= block.length; ++pos) {
            if (memcmp(block.data + pos, pattern, count) == 0) {
                Log::log(kLogPackage, "Found data at %d\n", pos);
                found = true;
            }
        }
    }
    Log::log(kLogPackage, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    fprintf(stdout, "BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : FindBlocks(type)) {
        std::string text;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                fprintf(stdout, " %s\r\n%06d: ", text.c_str(), i);
                text.clear();
            }
            const uint8_t byte = block.data[i];
            fprintf(stdout, "%02X ", byte);
            text += isprint(byte) ? char(byte) : ' ';
        }
        fprintf(stdout, " %s\n", text.c_str());
    }
    fprintf(stdout, "\n");
    return true;
}
