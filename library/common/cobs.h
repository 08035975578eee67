// Consistent Overhead Byte Stuffing: re-codes a byte string so that it contains no 0x00,
// leaving 0x00 free to delimit frames. Each run of up to 254 non-zero bytes is preceded by
// a code byte giving the run length plus one; the zero that ended the run is dropped.
#ifndef KESTRIX_COBS_H
#define KESTRIX_COBS_H

#include "aDefs.h"

KX_EXTERN_C_BEGIN

// Longest encoding of length bytes: one code byte per started run of 254, at least one.
#define COBS_ENCODED_MAX(length) ((length) + (length) / 254 + 1)

// Encodes length bytes of source into destination, which must hold
// COBS_ENCODED_MAX(length) bytes and must not overlap source. Returns the encoded length;
// the output never contains 0x00 and carries no delimiter.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);
// Decodes length encoded bytes (without the delimiter) into destination, which may be
// source itself (decoding never outruns its input). Stores the decoded length in *decoded.
// False for a malformed encoding: a zero byte, or a code byte running past the end.
bool cobs_decode(const uint8_t* source, size_t length, uint8_t* destination, size_t* decoded);

KX_EXTERN_C_END

#endif
