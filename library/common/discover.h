// Module discovery: which modules this host can reach, and how. Each mechanism produces
// one linkSpec per module found and hands it to the caller's callback, which decides
// whether to go on:
//   USB         the USB device list;
//   TCPIP       modules with their own Ethernet port answer a multicast request;
//   networked   link sharing servers answer a beacon on the network, or, when only the
//               local host is searched, a multicast probe on the loopback interface.
// Addresses are IPv4 in network byte order, as linkSpec keeps them (127.0.0.1 is
// 0x0100007F on this host). An interface of 0 or 127.0.0.1 means all interfaces for
// TCPIP and the local host only for the networked types.
#ifndef KESTRIX_DISCOVER_H
#define KESTRIX_DISCOVER_H

#include "aLinkSpec.h"

KX_EXTERN_C_BEGIN

// Called once per module found. spec is valid during the call only (copy its 128 bytes to
// keep it). Setting *matched counts the module in the enumeration's result; returning
// false ends the enumeration.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* matched, void* ref);

// TCPIP discovery datagrams: a 16-byte request to this group and port, 16-byte replies to
// the requester's address at the reply port.
#define aDISCOVERY_MODULE_GROUP "232.2.2.2"
#define aDISCOVERY_MODULE_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
#define aDISCOVERY_DATAGRAM_SIZE 16
#define aDISCOVERY_REPLY_TIMEOUT_MS 2000

// Networked discovery: the beacon text sharing servers answer, and the loopback exchange
// with local servers (request to port 9850 + n, answer on 9950 + n, n below 50).
#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_TEXT "Kestrix2-Discovery"
#define aDISCOVERY_BEACON_INTERVAL_MS 100
#define aDISCOVERY_BEACON_ATTEMPTS 22
#define aDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define aDISCOVERY_LOCAL_REQUEST_PORT 9850
#define aDISCOVERY_LOCAL_ANSWER_PORT 9950
#define aDISCOVERY_LOCAL_PORTS 50
#define aDISCOVERY_LOCAL_REQUEST 0xABCDDCBAu

// Most interfaces a networked enumeration looks at.
#define aDISCOVERY_MAX_INTERFACES 50

// Enumerates the modules reachable by type (USB, TCPIP or a networked type 4..7) through
// networkInterface. Returns how many the callback marked as matched; types 0, SERIAL and
// above 7 find nothing.
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                     uint32_t networkInterface);
// The networked enumeration behind types 4..7: beacon exchange on the given interface, or
// the loopback exchange with local servers when networkInterface is 0 or 127.0.0.1 (or
// the host has no IPv4 interface). Each server is reported once.
uint32_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryModuleFoundProc callback, void* ref,
                                            uint32_t networkInterface);
// A new spec of the first module of type with serialNumber, or null when none answers.
// The caller releases it with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// A new spec of the first module of type with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Fills addresses with the IPv4 addresses of the host's interfaces as CZMQ lists them, in
// its order, at most capacity of them; returns how many.
uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity);
// Writes address as dotted text into buffer. Its length; 0 when size is below 16 or the
// conversion fails.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size);

KX_EXTERN_C_END

#endif
