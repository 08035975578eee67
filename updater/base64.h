// Standard Base64 (RFC 4648 alphabet with "=" padding), used to turn the text form of a
// downloaded firmware image back into bytes.
#ifndef KESTRIX_UPDATER_BASE64_H
#define KESTRIX_UPDATER_BASE64_H

#include <cstddef>

// A new zero-terminated Base64 text of length 4 * ceil(length / 3), also stored in
// *outputLength when that is not null. Null for null data with a non-zero length or when
// memory is short. The caller frees the text with free().
char* base64_encode(const unsigned char* data, size_t length, size_t* outputLength);

// A new buffer with the decoded bytes and one zero byte beyond them; *outputLength (when
// not null) gets the byte count. Null when length is not a multiple of 4, the text holds
// a character outside the alphabet, "=" stands anywhere but in the last two places, or
// memory is short. The caller frees the buffer with free().
unsigned char* base64_decode(const char* text, size_t length, size_t* outputLength);

#endif
