// Packet framing for serial links. Over the procedures of a lower byte stream, each
// packet (address, size, data) goes out as one frame: the packet bytes and their CRC-8,
// COBS-encoded, then a 0x00 delimiter. Received frames are checked and their packet bytes
// handed out one per get, so the link engine sees the same byte sequence as on USB or TCP.
#ifndef KESTRIX_ASTREAM_COBSENCODING_H
#define KESTRIX_ASTREAM_COBSENCODING_H

#include "aStream.h"

KX_EXTERN_C_BEGIN

// Longest frame on the wire without its delimiter: a packet of 28 data bytes (30 bytes)
// with its CRC, COBS-encoded.
#define aCOBS_MAX_FRAME 32

// A framing stream over the lower procedures and context, which it owns once created
// (its delete calls the lower delete). Behaviour:
// - write: bytes are gathered into packets; each complete packet is sent as one frame
//   through the lower write, bytes that cannot start or continue a packet are dropped;
//   returns the last failing lower write's error, else success;
// - put: the byte goes to the lower put as it is, unframed;
// - get: aErrNotReady while a frame is being received (also for the call that completes
//   one); then the packet's bytes one per call. A frame that fails its checks (length,
//   size byte, CRC, longer than aCOBS_MAX_FRAME) gives aErrPacket once; the next frame is
//   received normally. Lower aErrNotReady reads as aErrNotReady, other lower errors are
//   passed on.
// An operation whose lower procedure is missing answers aErrMode. aErrParam for a null
// stream pointer; aErrMemory when memory is exhausted (the lower context is then still the
// caller's). *stream is null on failure.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* context, aStream** stream);

KX_EXTERN_C_END

#endif
