// A BIRD firmware image: a 6-byte header ("bird" and a format version) followed by
// one zlib stream that inflates to a declared block count, typed blocks and a
// trailing checksum. All multi-byte fields are big-endian. The whole image is
// held in memory so it can be patched (serial number, descrambling) before it is
// transferred.
#ifndef KESTRIX_BIRDFILE_H
#define KESTRIX_BIRDFILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One block of a loaded image. `data` points into the payload of the BirdFile that
// made the record and is valid while that BirdFile lives and is not moved from.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;        // 0..7, handed to the module with the block
    uint32_t length = 0;      // bytes of block data (for types 0 and 1 the address included)
    uint32_t address = 0;     // load address for types 0 and 1, else 0
    uint8_t* data = nullptr;  // first byte of the block data (the address field for types 0, 1)
};

class BirdFile {
  public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_LOADER_START = 5,
    };

    static constexpr uint8_t BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
    static constexpr uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    // Sizes the block layout fixes; shorter blocks of these types are dropped on load.
    static constexpr uint32_t INFO_BLOCK_SIZE = 64;
    static constexpr uint32_t SERIAL_OFFSETS_BLOCK_SIZE = 8;
    static constexpr uint32_t LOADER_START_BLOCK_SIZE = 4;
    static constexpr uint32_t ADDRESS_SIZE = 4;

    // Largest payload a load inflates; a larger one fails like corrupt data, so a
    // hostile file cannot make the reader exhaust memory.
    static constexpr size_t MAX_PAYLOAD_SIZE = 64u * 1024 * 1024;

    // An empty image: no path, no blocks, no payload (blockCount 0).
    BirdFile();
    // Loads the file at `path`; throws std::runtime_error("Failed to load bird data")
    // when it is missing, unreadable, too short or its payload does not inflate.
    explicit BirdFile(const char* path);

    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    // Moving carries the payload and the block records that point into it together;
    // the source is left empty.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;

    // True when the file opens, has at least 6 bytes, starts with "bird" and both
    // format version bytes are non-zero. Reads only the header.
    static bool VerifyFile(const char* path);

    // Copies of the records of all blocks of `type`, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // Fields of the first info block; 0, "" or false when the image has none.
    unsigned GetBuild() const;
    std::string GetVersion() const;
    unsigned GetSerialNumber() const;
    bool ValidateSerialNumber(unsigned serial) const;
    // True when the model field (trailing blanks removed) begins with `model`.
    bool ValidateModel(const char* model) const;

    // Writes `serial` into the firmware blocks at the offsets of the serial-offsets
    // block (a little-endian word and the characters of the USB descriptor text).
    // False when the image names no serial-number word and no descriptor was written.
    bool ReplaceSerialNumber(unsigned serial);
    // Restores firmware blocks scrambled with the 128-bit key given as four words
    // (most significant byte of each word first). Always true.
    bool DecodeFirmwareBlocks(const unsigned int* key);

    // Logs every position of `pattern` in the firmware blocks; true on any hit.
    bool ValidateData(const unsigned char* pattern, unsigned count) const;
    // Hex dump of all blocks of `type` on standard output. Always true.
    bool DumpBlocks(BLOCK_TYPE type) const;

    std::string path;
    uint32_t signature = 0;
    uint16_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialNumberBlock = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::vector<uint8_t> payload;
    uint32_t payloadSize = 0;

  private:
    bool Load();
    bool Inflate(const uint8_t* data, size_t length);
    bool ScanBlocks();
    void FindSerialOffsets();
    const BirdBlock* FirstInfoBlock() const;
    void Reset() noexcept;
};

#endif
