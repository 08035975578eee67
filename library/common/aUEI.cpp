#include "aUEI.h"

#include <algorithm>
#include <array>

void aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
    return static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
}

void aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
    return static_cast<uint32_t>(buffer[0]) << 24 | static_cast<uint32_t>(buffer[1]) << 16 |
           static_cast<uint32_t>(buffer[2]) << 8 | buffer[3];
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        words[i] = aUEI_RetrieveInt(reinterpret_cast<const uint8_t*>(&words[i]));
    }
}

static uint8_t bytesTrailer(const aPacket* packet) {
    if (!aVALIDPACKET(packet) || packet->dataSize == 0) {
        return 0;
    }
    return packet->data[packet->dataSize - 1];
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return bytesTrailer(packet) & aUEI_BYTES_SEQUENCE;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    return (bytesTrailer(packet) & aUEI_BYTES_CONTINUE) ? 1 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    // Commands whose data follow other layouts (link control, store slots, factory
    // data, loader, routing).
    static constexpr std::array<uint8_t, 13> kNonUEICommands{0,  1,  2,  4,  8,   9,  23,
                                                             24, 73, 94, 95, 173, 175};
    if (!aVALIDPACKET(packet)) {
        return false;
    }
    return std::find(kNonUEICommands.begin(), kNonUEICommands.end(), packet->data[0]) !=
           kNonUEICommands.end();
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && aUEI_isUEIPayload(packet) && packet->dataSize > 4 &&
           packet->data[1] < 64 && (packet->data[2] & aUEI_STREAM) != 0;
}
