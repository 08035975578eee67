#include "BirdDescription.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>

using nlohmann::json;

namespace {

// Generated patterns may exceed what the updater loads (to make oversized test
// images), but a typo in a length must not exhaust memory.
constexpr uint64_t kMaxPatternLength = 4 * uint64_t(BirdFile::MAX_PAYLOAD_SIZE);

const std::map<std::string, uint8_t> kTypeNames = {
    {"loader", BirdFile::BLOCK_LOADER},
    {"firmware", BirdFile::BLOCK_FIRMWARE},
    {"serial-offsets", BirdFile::BLOCK_SERIAL_OFFSETS},
    {"info", BirdFile::BLOCK_INFO},
    {"loader-start", BirdFile::BLOCK_LOADER_START},
};

const std::set<std::string> kContentKeys = {"data", "file", "pattern"};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw std::runtime_error(where + ": " + what);
}

// A JSON number, or a text in C notation ("0x1000", "4096"), that fits `limit`.
uint64_t Number(const json& value, const std::string& where, uint64_t limit = UINT32_MAX) {
    uint64_t number = 0;
    if (value.is_number_integer() && value.get<int64_t>() >= 0) {
        number = value.get<uint64_t>();
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        number = strtoull(text.c_str(), &end, 0);
        if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])) || *end != '\0') {
            Fail(where, "\"" + text + "\" is not a number");
        }
    } else {
        Fail(where, "expected a non-negative number or a text such as \"0x1000\"");
    }
    if (number > limit) {
        Fail(where, std::to_string(number) + " is above " + std::to_string(limit));
    }
    return number;
}

std::string Text(const json& value, const std::string& where) {
    if (!value.is_string()) {
        Fail(where, "expected a text");
    }
    return value.get<std::string>();
}

std::vector<uint8_t> HexBytes(const std::string& text, const std::string& where) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text) {
        if (isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (!isspace(static_cast<unsigned char>(c))) {
            Fail(where, std::string("'") + c + "' is not a hexadecimal digit");
        }
    }
    if (digits.size() % 2 != 0) {
        Fail(where, "odd number of hexadecimal digits");
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<uint8_t> FileBytes(const std::string& name, const std::string& base,
                               const std::string& where) {
    const std::string path =
        name.empty() || name[0] == '/' || base.empty() ? name : base + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail(where, "cannot read file " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

std::vector<uint8_t> PatternBytes(const json& pattern, const std::string& where) {
    if (!pattern.is_object()) {
        Fail(where, "expected an object with \"kind\" and \"length\"");
    }
    for (const auto& [key, value] : pattern.items()) {
        if (key != "kind" && key != "length" && key != "value" && key != "seed") {
            Fail(where, "unknown key \"" + key + "\"");
        }
    }
    if (!pattern.contains("kind") || !pattern.contains("length")) {
        Fail(where, "needs \"kind\" and \"length\"");
    }
    const std::string kind = Text(pattern["kind"], where + ".kind");
    const uint64_t length = Number(pattern["length"], where + ".length", kMaxPatternLength);
    std::vector<uint8_t> bytes(length);
    if (kind == "fill" || kind == "counter") {
        const uint8_t first = uint8_t(Number(
            pattern.value("value", json(kind == "fill" ? 0xFF : 0)), where + ".value", 0xFF));
        for (uint64_t i = 0; i < length; ++i) {
            bytes[i] = kind == "fill" ? first : uint8_t(first + i);
        }
    } else if (kind == "random") {
        // xorshift32: the same seed always gives the same bytes.
        uint32_t state = uint32_t(Number(pattern.value("seed", json(1)), where + ".seed"));
        state = state ? state : 1;
        for (uint64_t i = 0; i < length; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            bytes[i] = uint8_t(state);
        }
    } else {
        Fail(where + ".kind", "\"" + kind + "\" is not one of fill, counter, random");
    }
    return bytes;
}

// The literal content of a block from whichever of "data", "file", "pattern" it has.
std::optional<std::vector<uint8_t>> Content(const json& block, const std::string& base,
                                            const std::string& where) {
    int given = 0;
    std::optional<std::vector<uint8_t>> bytes;
    if (block.contains("data")) {
        bytes = HexBytes(Text(block["data"], where + ".data"), where + ".data");
        ++given;
    }
    if (block.contains("file")) {
        bytes = FileBytes(Text(block["file"], where + ".file"), base, where + ".file");
        ++given;
    }
    if (block.contains("pattern")) {
        bytes = PatternBytes(block["pattern"], where + ".pattern");
        ++given;
    }
    if (given > 1) {
        Fail(where, "give only one of \"data\", \"file\" and \"pattern\"");
    }
    return bytes;
}

uint8_t BlockType(const json& value, const std::string& where) {
    if (value.is_string()) {
        auto named = kTypeNames.find(value.get<std::string>());
        if (named == kTypeNames.end()) {
            Fail(where, "unknown type \"" + value.get<std::string>() +
                            "\" (loader, firmware, serial-offsets, info, loader-start or 0..31)");
        }
        return named->second;
    }
    return uint8_t(Number(value, where, BirdFile::BIRD_FILE_TYPE_MASK));
}

// The keys a block of `type` may carry besides its content.
std::set<std::string> FieldKeys(uint8_t type) {
    switch (type) {
        case BirdFile::BLOCK_LOADER:
        case BirdFile::BLOCK_FIRMWARE:
        case BirdFile::BLOCK_LOADER_START:
            return {"address"};
        case BirdFile::BLOCK_INFO:
            return {"build", "version", "serial", "model"};
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            return {"serial", "descriptor"};
        default:
            return {};
    }
}

// A number becomes the text the updater writes for it; a text is taken as it is.
std::string InfoText(const json& block, const char* key, const char* format,
                     const std::string& where) {
    if (!block.contains(key)) {
        return {};
    }
    const json& value = block[key];
    if (value.is_number()) {
        char text[24];
        snprintf(text, sizeof text, format, unsigned(Number(value, where + "." + key)));
        return text;
    }
    return Text(value, where + "." + key);
}

void AddBlock(BirdWriter& writer, const json& block, const std::string& base,
              const std::string& where) {
    if (!block.is_object() || !block.contains("type")) {
        Fail(where, "a block is an object with at least a \"type\"");
    }
    const uint8_t type = BlockType(block["type"], where + ".type");
    const std::set<std::string> fields = FieldKeys(type);
    for (const auto& [key, value] : block.items()) {
        if (key != "type" && key != "flags" && !kContentKeys.count(key) && !fields.count(key)) {
            Fail(where,
                 "key \"" + key + "\" does not belong to a block of type " + std::to_string(type));
        }
    }
    const uint8_t flags = uint8_t(Number(block.value("flags", json(0)), where + ".flags", 7));
    const auto address = [&] {
        return uint32_t(Number(block.value("address", json(0)), where + ".address"));
    };
    std::optional<std::vector<uint8_t>> content = Content(block, base, where);
    if (type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE) {
        writer.AddImageBlock(type, flags, address(), content.value_or(std::vector<uint8_t>{}));
        return;
    }
    if (content) {
        // Literal data stands in for the type's fields, so odd blocks can be made too.
        for (const std::string& field : fields) {
            if (block.contains(field)) {
                Fail(where, "key \"" + field + "\" cannot be combined with literal data");
            }
        }
        writer.AddRawBlock(type, flags, std::move(*content));
    } else if (type == BirdFile::BLOCK_INFO) {
        writer.AddInfoBlock(
            BirdInfo{InfoText(block, "build", "%u", where), InfoText(block, "version", "%u", where),
                     InfoText(block, "serial", "%08X", where),
                     InfoText(block, "model", "%u", where)},
            flags);
    } else if (type == BirdFile::BLOCK_SERIAL_OFFSETS) {
        writer.AddSerialOffsetsBlock(
            uint32_t(Number(block.value("serial", json(0)), where + ".serial")),
            uint32_t(Number(block.value("descriptor", json(0)), where + ".descriptor")), flags);
    } else if (type == BirdFile::BLOCK_LOADER_START) {
        writer.AddLoaderStartBlock(address(), flags);
    } else {
        writer.AddRawBlock(type, flags, {});
    }
}

}  // namespace

BirdWriter ParseBirdDescription(const std::string& text, const std::string& baseDirectory) {
    json description;
    try {
        description = json::parse(text);
    } catch (const json::parse_error& e) {
        throw std::runtime_error(std::string("not valid JSON: ") + e.what());
    }
    if (!description.is_object() || !description.contains("blocks") ||
        !description["blocks"].is_array()) {
        throw std::runtime_error("the description is an object with a \"blocks\" array");
    }
    BirdWriter writer;
    for (const auto& [key, value] : description.items()) {
        if (key == "formatVersion") {
            writer.SetFormatVersion(uint16_t(Number(value, key, 0xFFFF)));
        } else if (key == "declaredBlocks") {
            writer.SetDeclaredBlockCount(uint32_t(Number(value, key)));
        } else if (key == "checksum") {
            writer.SetChecksum(uint32_t(Number(value, key)));
        } else if (key != "blocks") {
            Fail(key, "unknown key (formatVersion, declaredBlocks, checksum, blocks)");
        }
    }
    size_t index = 0;
    for (const json& block : description["blocks"]) {
        const std::string where = "blocks[" + std::to_string(index++) + "]";
        try {
            AddBlock(writer, block, baseDirectory, where);
        } catch (const std::invalid_argument& e) {
            Fail(where, e.what());
        }
    }
    return writer;
}
