// The one libusb context the whole process shares. Enumeration, opening and the
// transfers of every module go through it; the updater refreshes it between attempts to
// find a module that has just re-enumerated.
#ifndef KESTRIX_KESTRIX_C_H
#define KESTRIX_KESTRIX_C_H

#include "aDefs.h"

struct libusb_context;

KX_EXTERN_C_BEGIN

// The shared context, created with libusb_init on first use; null when libusb cannot be
// initialised.
struct libusb_context* Kestrix_libusb_context(void);
// Same as Kestrix_libusb_context: makes sure the shared context exists and returns it.
struct libusb_context* Kestrix_libusb_init(void);
// Ends the shared context; the next use creates a fresh one that enumerates anew. Only
// call it while no module is open through libusb: their handles belong to the context.
void Kestrix_libusb_exit(void);

KX_EXTERN_C_END

#endif
