// The link specifier: a 128-byte record naming one reachable module and how to reach
// it. Discovery servers send it as is in one datagram, so its layout is fixed byte for
// byte: little-endian integers, except the IPv4 address, kept in network order.
#ifndef KESTRIX_ALINKSPEC_H
#define KESTRIX_ALINKSPEC_H

#include "aError.h"

KX_EXTERN_C_BEGIN

typedef enum {
    linkTypeNone = 0,  // a link created over a caller's stream
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AWEAVE = 4,  // a module shared by a link sharing server, reached as a client
    AWEAVE_USB = 5,
    AWEAVE_TCPIP = 6,
    AWEAVE_SERIAL = 7,
} linkType;

#define aLINKSPEC_SIZE 128
#define aLINKSPEC_PORTNAME_SIZE 100

typedef struct linkSpec {
    uint32_t type;  // a linkType
    uint32_t serialNumber;
    uint32_t module;              // 0 when not known
    uint32_t router;              // == module when reached directly, 0 for USB
    uint32_t routerSerialNumber;  // == serialNumber when direct, 0 for USB
    uint32_t model;
    union {
        uint32_t usbId;      // USB: the serial number
        uint32_t ipAddress;  // TCPIP and networked types, network byte order
        uint32_t baudRate;   // SERIAL
    };
    union {
        uint32_t port;  // TCPIP and networked types: TCP port in the low 16 bits
        char portName[aLINKSPEC_PORTNAME_SIZE];  // SERIAL: zero-terminated device path
    };
} linkSpec;

// A new zero-filled specifier of the given type; null when memory is exhausted.
linkSpec* aLinkSpec_Create(linkType type);
// A new copy of spec; null for null.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees *spec and clears it; aErrParam when spec or *spec is null.
aErr aLinkSpec_Destroy(linkSpec** spec);

KX_EXTERN_C_END

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE);
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, ipAddress) == 24);
static_assert(offsetof(linkSpec, port) == 28);
static_assert(offsetof(linkSpec, portName) == 28);
#endif

#endif
