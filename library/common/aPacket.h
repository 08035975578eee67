// One link packet: the address of the module it goes to (or comes from), 0..28 data
// bytes, and the incremental parser that assembles received bytes into a packet.
// On every transport a packet travels as address, dataSize, then dataSize bytes.
#ifndef KESTRIX_APACKET_H
#define KESTRIX_APACKET_H

#include "aError.h"

KX_EXTERN_C_BEGIN

#define aPACKET_CHECK 0xBEEF
#define aPACKET_MAX_DATA 28

typedef struct aPacket {
    uint16_t check;     // aPACKET_CHECK while the packet is alive
    uint8_t byteCount;  // bytes fed by aPacket_AddByte, address and length included
    uint8_t address;
    uint8_t dataSize;
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

#define aVALIDPACKET(p) ((p) != NULL && (p)->check == aPACKET_CHECK)

// A new empty packet; null when memory is exhausted.
aPacket* aPacket_Create(void);
// A complete packet holding a copy of data; null for null data or length > 28.
// The address is not checked.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A new packet with the same address, size and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);
// Frees *packet and clears it; aErrParam when packet or *packet is null.
aErr aPacket_Destroy(aPacket** packet);
// Empties the packet for reuse by the parser.
aErr aPacket_Reset(aPacket* packet);
// Feeds one received byte. aErrPacket for a zero address, a length above 28 or a byte
// beyond the packet's length; aErrOverrun from the 31st byte on. The caller resets the
// packet after any error and checks aPacket_IsComplete after every byte.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True for a valid packet that has received its address, length and all its data.
bool aPacket_IsComplete(const aPacket* packet);
// Writes address, dataSize and data into buffer and, when written is not null, stores
// 2 + dataSize there. aErrOverrun when size is below 2 + dataSize.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);
// Data byte 0 (the command); aErrPacket for an invalid or empty packet.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
// Data byte 1 without its direction bits; aErrPacket when shorter than 2 bytes.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
// Data byte 2 without its flag bits; aErrPacket when shorter than 3 bytes.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

KX_EXTERN_C_END

#endif
