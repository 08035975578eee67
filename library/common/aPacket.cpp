#include "aPacket.h"

#include <cstring>
#include <new>

namespace {

constexpr aPacket kEmptyPacket = {aPACKET_CHECK, 0, 0, 0, {}};

// The largest number of bytes one packet can take: address, length and 28 data bytes.
constexpr unsigned kMaxPacketBytes = 2 + aPACKET_MAX_DATA;

aErr dataByte(const aPacket* packet, uint8_t index, uint8_t mask, uint8_t* out) {
    if (out == nullptr) {
        return aErrParam;
    }
    if (!aVALIDPACKET(packet) || packet->dataSize <= index) {
        return aErrPacket;
    }
    *out = packet->data[index] & mask;
    return aErrNone;
}

}  // namespace

aPacket* aPacket_Create(void) {
    return new (std::nothrow) aPacket(kEmptyPacket);
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr || length > aPACKET_MAX_DATA) {
        return nullptr;
    }
    aPacket* packet = aPacket_Create();
    if (packet != nullptr) {
        packet->address = address;
        packet->dataSize = length;
        packet->byteCount = static_cast<uint8_t>(2 + length);
        std::memcpy(packet->data, data, length);
    }
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return nullptr;
    }
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_Destroy(aPacket** packet) {
    if (packet == nullptr || *packet == nullptr) {
        return aErrParam;
    }
    (*packet)->check = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    *packet = kEmptyPacket;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    // The count saturates so that an over-full packet keeps answering aErrOverrun.
    if (packet->byteCount <= kMaxPacketBytes) {
        packet->byteCount++;
    }
    if (packet->byteCount > kMaxPacketBytes) {
        return aErrOverrun;
    }
    if (packet->address == 0) {
        if (byte == 0) {
            return aErrPacket;
        }
        packet->address = byte;
    } else if (packet->dataSize == 0 && packet->byteCount == 2) {
        packet->dataSize = byte;
        if (byte > aPACKET_MAX_DATA) {
            return aErrPacket;
        }
    } else {
        if (packet->byteCount > packet->dataSize + 2) {
            return aErrPacket;
        }
        packet->data[packet->byteCount - 3] = byte;
    }
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->byteCount == packet->dataSize + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written) {
    if (!aVALIDPACKET(packet) || buffer == nullptr) {
        return aErrParam;
    }
    const size_t length = 2u + packet->dataSize;
    if (size < length) {
        return aErrOverrun;
    }
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    std::memcpy(buffer + 2, packet->data, packet->dataSize);
    if (written != nullptr) {
        *written = length;
    }
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
    return dataByte(packet, 0, 0xFF, command);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    return dataByte(packet, 1, 0x3F, option);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    return dataByte(packet, 2, 0x1F, index);
}
