// The platform side of module discovery (discover.h): walking the USB device list and
// the multicast exchange with modules on Ethernet.
#ifndef KESTRIX_UNIX_DISCOVERY_H
#define KESTRIX_UNIX_DISCOVERY_H

#include "discover.h"

KX_EXTERN_C_BEGIN

// Reports every module on the USB device list whose serial string is eight hexadecimal
// digits, while the callback asks for more. Returns the matched count.
uint32_t _aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref);
// Sends the discovery request through networkInterface (0: through every IPv4 interface
// but 127.0.0.1 and 0.0.0.0) and reports each reply until none comes for 2 s or the
// callback stops. Returns the matched count.
uint32_t _aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface);
// The spec a module's 16-byte reply describes, sent from sender (IPv4, network order):
// address in byte 1, TCP port in bytes 2..3 and serial number in bytes 4..7 (both
// little-endian), model in byte 12. False when reply is not 16 bytes long.
bool _aDiscovery_ParseModuleReply(const uint8_t* reply, size_t length, uint32_t sender,
                                  linkSpec* spec);

KX_EXTERN_C_END

#endif
