// IPv4 multicast sockets for the local discovery of link sharing servers: a receiver
// bound to a group port (its bind doubles as the probe of whether a local server holds
// that port) or a sender to a group port, each on one interface.
#ifndef KESTRIX_AMULTICAST_H
#define KESTRIX_AMULTICAST_H

#include "aError.h"

KX_EXTERN_C_BEGIN

typedef enum {
    aMulticastReceiver = 0,
    aMulticastSender = 1,
} aMulticastRole;

typedef struct aMulticast aMulticast;

// A socket in group (dotted text) at port on interface (IPv4, network order; 0 or
// 127.0.0.1 is the loopback interface), with TTL 1, loopback on and a 1 s receive
// time-out. A receiver binds the port without sharing it, so null also says that
// someone already holds it. Null on any failure.
aMulticast* aMulticast_Create(uint32_t networkInterface, const char* group, uint16_t port,
                              aMulticastRole role);
// Sends one datagram to the group. Bytes sent; -1 on failure, -2 for null, -3 for a
// receiver.
int aMulticast_Send(aMulticast* multicast, const uint8_t* bytes, size_t length);
// Receives one datagram, waiting up to 1 s. Bytes received; -1 on failure or time-out,
// -2 for null, -3 for a sender.
int aMulticast_Receive(aMulticast* multicast, uint8_t* buffer, size_t size);
// Closes and frees *multicast and clears it. 0, or -2 for null.
int aMulticast_Destroy(aMulticast** multicast);

KX_EXTERN_C_END

#endif
