// Shared definitions of the device link library: the C-linkage macros, the
// model codes modules report, and the model-name lookup.
#ifndef KESTRIX_ADEFS_H
#define KESTRIX_ADEFS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KX_EXTERN_C_BEGIN extern "C" {
#define KX_EXTERN_C_END }
#else
#define KX_EXTERN_C_BEGIN
#define KX_EXTERN_C_END
#endif

KX_EXTERN_C_BEGIN

// Display name of a model code; "Unknown" for codes without one. Never null.
const char* aDefs_GetModelName(uint32_t code);

KX_EXTERN_C_END

#endif
