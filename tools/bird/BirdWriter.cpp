#include "BirdWriter.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "AtomicWrite.h"

namespace {

constexpr size_t kInfoFieldSize = 16;
// The reader takes the build and the version from the first 15 bytes of their fields.
constexpr size_t kInfoTextLimit = 15;

void AppendBE32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(uint8_t(value >> shift));
    }
}

void AppendField(std::vector<uint8_t>& out, const std::string& text, size_t limit,
                 const char* what) {
    if (text.size() > limit) {
        throw std::invalid_argument(std::string("info ") + what + " \"" + text +
                                    "\" is longer than " + std::to_string(limit) + " characters");
    }
    out.insert(out.end(), text.begin(), text.end());
    out.insert(out.end(), kInfoFieldSize - text.size(), ' ');
}

}  // namespace

void BirdWriter::AddRawBlock(uint8_t type, uint8_t flags, std::vector<uint8_t> data) {
    if (type > BirdFile::BIRD_FILE_TYPE_MASK) {
        throw std::invalid_argument("block type " + std::to_string(type) + " is above 31");
    }
    if (flags > (BirdFile::BIRD_FILE_FLAG_MASK >> 5)) {
        throw std::invalid_argument("block flags " + std::to_string(flags) + " are above 7");
    }
    if (data.size() > UINT32_MAX) {
        throw std::invalid_argument("block data does not fit a 32-bit length");
    }
    blocks.push_back(Block{uint8_t(type | (flags << 5)), std::move(data)});
}

void BirdWriter::AddImageBlock(uint8_t type, uint8_t flags, uint32_t address,
                               const std::vector<uint8_t>& image) {
    std::vector<uint8_t> data;
    data.reserve(BirdFile::ADDRESS_SIZE + image.size());
    AppendBE32(data, address);
    data.insert(data.end(), image.begin(), image.end());
    AddRawBlock(type, flags, std::move(data));
}

void BirdWriter::AddInfoBlock(const BirdInfo& info, uint8_t flags) {
    std::vector<uint8_t> data;
    AppendField(data, info.build, kInfoTextLimit, "build");
    AppendField(data, info.version, kInfoTextLimit, "version");
    AppendField(data, info.serial, kInfoFieldSize, "serial");
    AppendField(data, info.model, kInfoFieldSize, "model");
    AddRawBlock(BirdFile::BLOCK_INFO, flags, std::move(data));
}

void BirdWriter::AddSerialOffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset,
                                       uint8_t flags) {
    std::vector<uint8_t> data;
    AppendBE32(data, serialOffset);
    AppendBE32(data, descriptorOffset);
    AddRawBlock(BirdFile::BLOCK_SERIAL_OFFSETS, flags, std::move(data));
}

void BirdWriter::AddLoaderStartBlock(uint32_t address, uint8_t flags) {
    std::vector<uint8_t> data;
    AppendBE32(data, address);
    AddRawBlock(BirdFile::BLOCK_LOADER_START, flags, std::move(data));
}

std::vector<uint8_t> BirdWriter::Payload() const {
    std::vector<uint8_t> payload;
    AppendBE32(payload, declaredCount.value_or(uint32_t(blocks.size())));
    for (const Block& block : blocks) {
        payload.push_back(block.typeFlags);
        AppendBE32(payload, uint32_t(block.data.size()));
        payload.insert(payload.end(), block.data.begin(), block.data.end());
    }
    AppendBE32(payload, checksumOverride.value_or(BirdChecksum(payload.data(), payload.size())));
    return payload;
}

std::vector<uint8_t> BirdWriter::Image() const {
    const std::vector<uint8_t> payload = Payload();
    return EncodeBirdImage(formatVersion, payload.data(), payload.size());
}

bool BirdWriter::Write(const std::string& path, std::string& error) const {
    const std::vector<uint8_t> image = Image();
    int osError = 0;
    if (AtomicWrite(path, image.data(), image.size(), &osError) != aErrNone) {
        error = "cannot write " + path + ": " + strerror(osError);
        return false;
    }
    return true;
}

uint32_t BirdChecksum(const uint8_t* payload, size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        const uInt piece = uInt(std::min<size_t>(length, UINT32_MAX));
        crc = crc32(crc, payload, piece);
        payload += piece;
        length -= piece;
    }
    return uint32_t(crc);
}

std::vector<uint8_t> EncodeBirdImage(uint16_t formatVersion, const uint8_t* payload,
                                     size_t length) {
    uLongf compressedSize = compressBound(uLong(length));
    std::vector<uint8_t> image(sizeof BirdFile::BIRD_FILE_SIGNATURE + 2 + compressedSize);
    std::copy(std::begin(BirdFile::BIRD_FILE_SIGNATURE), std::end(BirdFile::BIRD_FILE_SIGNATURE),
              image.begin());
    image[4] = uint8_t(formatVersion >> 8);
    image[5] = uint8_t(formatVersion);
    if (compress2(image.data() + 6, &compressedSize, payload, uLong(length), Z_BEST_COMPRESSION) !=
        Z_OK) {
        throw std::runtime_error("cannot compress the payload");
    }
    image.resize(6 + compressedSize);
    return image;
}

void ScrambleFirmwareBlocks(BirdFile& bird, const unsigned int key[4]) {
    uint8_t k[16];
    for (int i = 0; i < 16; ++i) {
        k[i] = uint8_t(key[i / 4] >> (24 - 8 * (i % 4)));
    }
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        uint8_t* image = block.data + BirdFile::ADDRESS_SIZE;
        uint8_t previous = 0;
        for (uint32_t j = 0; j < block.length - BirdFile::ADDRESS_SIZE; ++j) {
            const uint8_t plain = image[j];
            image[j] = uint8_t(plain ^ k[j % 16] ^ previous);
            previous = plain;
        }
    }
}
