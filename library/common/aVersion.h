// The packed 32-bit firmware version word and the library's own version (2.12.5).
// Legacy layout: major in bits 31..28, minor in 27..24, patch in 23..0. Current
// layout: 0x2F in the top byte, then 8-bit major, minor and patch.
#ifndef KESTRIX_AVERSION_H
#define KESTRIX_AVERSION_H

#include "aDefs.h"

KX_EXTERN_C_BEGIN

// Current layout when (major, minor) is above (2, 14); legacy otherwise.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint32_t aVersion_ParseMajor(uint32_t version);
uint32_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" into buffer (bounded, terminated when size > 0); returns
// the length the full text has.
size_t aVersion_ParseString(uint32_t version, char* buffer, size_t size);

uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
// The library's version text, "2.12.5"; a static string.
const char* aVersion_GetString(void);
// True when (a1, b1, c1) >= (a2, b2, c2), compared component by component.
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t b1, uint8_t c1, uint8_t a2, uint8_t b2,
                               uint8_t c2);
// True when the library's own version is at least the one given.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when name is one of the library's feature names.
bool aVersion_HasFeature(const char* name);
// A new heap text, one "NAME - Description" row per feature separated by "\n";
// release it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

KX_EXTERN_C_END

#endif
