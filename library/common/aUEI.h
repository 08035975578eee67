// UEI (universal entity interface) exchanges: one get, set or call of a value on an
// entity of a module, and how it is laid into packet data. Data bytes 0..2 of a UEI
// packet are command, option (bits 7/6 direction) and specifier (bits 0..4 index,
// 7 error reply, 6 stream packet, 5 set in every host request); values follow
// big-endian.
#ifndef KESTRIX_AUEI_H
#define KESTRIX_AUEI_H

#include "aPacket.h"

KX_EXTERN_C_BEGIN

#define aUEI_OPTION_MASK 0x3F
#define aUEI_GET 0x40        // option bits of a get request
#define aUEI_SET 0x80        // option bits of a set or call request
#define aUEI_SET_REPLY 0xC0  // option bits of the reply to a set or call
#define aUEI_INDEX_MASK 0x1F
#define aUEI_ERROR 0x80      // specifier bit of an error reply
#define aUEI_STREAM 0x40     // specifier bit of a stream packet
#define aUEI_REQUEST 0x20    // specifier bit of every host request
#define aUEI_BYTES_CHUNK 24  // largest chunk of a bytes transfer
#define aUEI_BYTES_CONTINUE 0x80
#define aUEI_BYTES_SEQUENCE 0x7F

typedef enum {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
} ueiType;

// One UEI exchange in host form.
typedef struct uei {
    uint8_t module;
    uint8_t command;
    uint8_t option;     // with its direction bits
    uint8_t specifier;  // with its flag bits; an error reply's specifier after one
    union {
        uint8_t byteVal;  // after an error reply: the module's aErr code
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes;  // while receiving: the write position in the buffer
    } value;
    uint8_t sequence;         // bytes transfer: sequence number expected next
    uint8_t continued;        // bytes transfer: 1 while more chunks follow
    uint64_t bufferSize;      // bytes transfer: length to send or receive capacity
    uint64_t* bytesReceived;  // bytes transfer: running count received
    ueiType type;
} uei;

void aUEI_StoreShort(uint8_t* buffer, uint16_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
void aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);
// Converts count 32-bit words in place from big-endian wire order to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Sequence number (bits 0..6) of a bytes-transfer trailer, the last data byte; 0 for null.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
// Continuation bit (bit 7) of that trailer, as 0 or 1; 0 for null.
uint8_t aUEI_getBytesContinue(const aPacket* packet);
// True when the packet carries a full bytes chunk (dataSize 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket* packet);
// True when the command byte belongs to a non-UEI layout (0, 1, 2, 4, 8, 9, 23, 24,
// 73, 94, 95, 173, 175); false for null.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a value-stream sample: UEI payload, dataSize > 4, option below 64 and
// specifier bit 6 set.
bool aUEI_isStreamPacket(const aPacket* packet);

KX_EXTERN_C_END

#endif
