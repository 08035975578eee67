// CRC-8/MAXIM (the 1-Wire CRC): reflected polynomial 0x8C, initial value 0, no final
// XOR. Serial links append it to every packet before framing; "123456789" gives 0xA1.
#ifndef KESTRIX_CRC8_H
#define KESTRIX_CRC8_H

#include "aDefs.h"

KX_EXTERN_C_BEGIN

// CRC of length bytes, starting from the initial value 0. data may be null when length is 0.
uint8_t crc8_create(const uint8_t* data, size_t length);
// Continues crc over length more bytes, so a message can be summed in pieces.
uint8_t crc8_update(uint8_t crc, const uint8_t* data, size_t length);
// True when crc is the CRC of the length bytes.
bool crc8_check(const uint8_t* data, size_t length, uint8_t crc);

KX_EXTERN_C_END

#endif
