// Writing BIRD images: blocks are collected in file order, laid out as the reader
// expects (declared count, blocks, checksum; big-endian), deflated and put behind
// the "bird" header. Used by kestrix-bird and by tests that need fixtures.
#ifndef KESTRIX_BIRDWRITER_H
#define KESTRIX_BIRDWRITER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "BirdFile.h"

// The four texts of an info block; each must fit its 16-byte field (the build and the
// version 15 characters, which is what the reader looks at).
struct BirdInfo {
    std::string build;
    std::string version;
    std::string serial;
    std::string model;
};

class BirdWriter {
  public:
    // A block whose data is exactly `data` (nothing is prepended). Flags 0..7.
    void AddRawBlock(uint8_t type, uint8_t flags, std::vector<uint8_t> data);
    // A loader or firmware block: the big-endian address, then `image`.
    void AddImageBlock(uint8_t type, uint8_t flags, uint32_t address,
                       const std::vector<uint8_t>& image);
    // The 64-byte info block, fields padded with blanks. Throws std::invalid_argument
    // when a field is too long.
    void AddInfoBlock(const BirdInfo& info, uint8_t flags = 0);
    // The two image addresses of the serial-number word and descriptor text (0: none).
    void AddSerialOffsetsBlock(uint32_t serialOffset, uint32_t descriptorOffset, uint8_t flags = 0);
    void AddLoaderStartBlock(uint32_t address, uint8_t flags = 0);

    // Header format version (default 01 01), and overrides of the declared block count
    // and of the checksum (default: the number of blocks, BirdChecksum of the payload).
    void SetFormatVersion(uint16_t version) { formatVersion = version; }
    void SetDeclaredBlockCount(uint32_t count) { declaredCount = count; }
    void SetChecksum(uint32_t value) { checksumOverride = value; }

    size_t BlockCount() const { return blocks.size(); }

    // The inflated payload: declared count, blocks, checksum.
    std::vector<uint8_t> Payload() const;
    // The complete file: header and deflated payload.
    std::vector<uint8_t> Image() const;
    // Writes Image() to `path`, replacing it as a whole. False with `error` set on failure.
    bool Write(const std::string& path, std::string& error) const;

  private:
    struct Block {
        uint8_t typeFlags;
        std::vector<uint8_t> data;
    };
    std::vector<Block> blocks;
    uint16_t formatVersion = 0x0101;
    std::optional<uint32_t> declaredCount;
    std::optional<uint32_t> checksumOverride;
};

// The checksum kestrix-bird writes: CRC-32 (as zlib computes it) of every payload byte
// before the checksum. The updater records the field but never checks it.
uint32_t BirdChecksum(const uint8_t* payload, size_t length);

// A file image: "bird", the format version and `payload` deflated as one zlib stream.
std::vector<uint8_t> EncodeBirdImage(uint16_t formatVersion, const uint8_t* payload, size_t length);

// Scrambles every firmware block of `bird` in place with the 128-bit key given as four
// words, the inverse of BirdFile::DecodeFirmwareBlocks: c[j] = b[j] ^ K[j % 16] ^ b[j-1].
void ScrambleFirmwareBlocks(BirdFile& bird, const unsigned int key[4]);

#endif
