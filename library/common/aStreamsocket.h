// The TCP socket stream: the byte pipe to a module with its own Ethernet port. Its get
// waits briefly for a byte and never blocks longer; its write retries a busy socket; both
// reconnect to the same address and port when the peer has gone.
#ifndef KESTRIX_ASTREAMSOCKET_H
#define KESTRIX_ASTREAMSOCKET_H

#include "aStream.h"

KX_EXTERN_C_BEGIN

// How long a connect may take before it counts as timed out.
#define aSTREAMSOCKET_CONNECT_TIMEOUT_MS 5000

// Connects to address (IPv4, network byte order, as linkSpec holds it) and port (host
// order) and makes a stream of the connection in *stream. aErrConnection when the peer
// refuses, resets or does not answer within 5 s; aErrIO for other socket failures;
// aErrResource when the stream cannot be made or stream is null. *stream is null on failure.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

KX_EXTERN_C_END

#endif
