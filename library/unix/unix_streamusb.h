// The USB stream: the byte pipe to a module attached by USB, over the kernel driver's
// device node when the module has one, else over libusb. Its get waits up to a second
// for the module; its write goes out in chunks of the module's packet size.
#ifndef KESTRIX_UNIX_STREAMUSB_H
#define KESTRIX_UNIX_STREAMUSB_H

#include "aStream.h"

KX_EXTERN_C_BEGIN

// Opens the module with this serial number and makes a stream of it in *stream.
// aErrParam for serial number 0 or a null stream; aErrResource when the USB device object
// cannot be made; aErrMemory when memory is exhausted; otherwise the open's error
// (aErrNotFound, aErrBusy, aErrPermission, ...). *stream is null on failure.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream);
// The same, looking for the kernel driver's node in nodeDirectory instead of "/dev".
aErr aStream_CreateUSBWithNodeDirectory(const char* nodeDirectory, uint32_t serialNumber,
                                        aStream** stream);

KX_EXTERN_C_END

#endif
