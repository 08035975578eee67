// Byte streams: the one abstraction of a byte pipe that the link engine and the serial
// ISP client read and write every transport through. A stream is four procedures (get one
// byte, put one byte, write a block, delete the context) over an opaque context, plus a
// push-back buffer that makes multi-byte reads all-or-nothing when the transport runs dry.
//
// This header has the core, its record and C-string helpers and the file streams. Each
// other transport has its own unit: aStreamsocket.h (TCP), unix_streamserial.h (serial
// ports), aStream_CobsEncoding.h (packet framing of serial links), unix_streamusb.h (USB).
#ifndef KESTRIX_ASTREAM_H
#define KESTRIX_ASTREAM_H

#include "aError.h"

KX_EXTERN_C_BEGIN

// How long a get of a descriptor-backed transport waits for a byte before it answers
// aErrNotReady. The link engine reads in a loop without sleeping, so this wait is what
// keeps an idle link from spinning; it also bounds how late a reader notices a stop.
#define aSTREAM_IDLE_WAIT_MS 20

typedef struct aStream aStream;

// Transport procedures. get and put move one byte, write moves a block, delete releases
// the context. Each returns aErrNone or an error; get answers aErrNotReady when no byte is
// there yet and aErrEOF at the end of a finite source.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* context);
typedef aErr (*aStreamPutProc)(uint8_t byte, void* context);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* context);
typedef aErr (*aStreamDeleteProc)(void* context);

// A new stream over context, which it owns from now on (delete releases it). Any procedure
// may be null; the operations that need a missing one answer aErrMode. Null when memory is
// exhausted (the context is then still the caller's).
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* context);
// Calls delete on the context, frees the stream and clears *stream. Returns delete's
// result; aErrParam when stream or *stream is null or not a live stream.
aErr aStream_Destroy(aStream** stream);

// Reads exactly size bytes, or nothing: when the transport runs dry (aErrNotReady) the
// bytes obtained so far are kept and come back first, in order, on the next read, and the
// buffer is left untouched. On aErrEOF the bytes obtained are stored and aErrEOF returned.
// Any other error is returned and the bytes read are lost. aErrMode without a get.
aErr aStream_Read(aStream* stream, uint8_t* buffer, size_t size);
// Writes length bytes: one write call when there is a write procedure and length > 1,
// otherwise one put per byte up to the first error. aErrMode without put and write.
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t length);
// Copies bytes from input to output until input reports aErrEOF (success), another error
// of input, or a failing put (returned). aErrMode without get on input or put on output.
aErr aStream_Flush(aStream* input, aStream* output);

// Writes length bytes, then the terminatorLength bytes of terminator.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);
// Reads into buffer until the terminator has been read (it is not stored) or bufferSize
// bytes are stored; *length gets the stored count. aErrNotReady puts the bytes read back
// into the stream and is returned; aErrEOF after at least one stored byte ends the record
// successfully. A terminator only partly matched counts as record content.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength);
// Writes text and its terminating zero.
aErr aStream_WriteCString(aStream* stream, const char* text);
// Reads up to a zero byte, at most size - 1 characters, and zero-terminates buffer.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
// Writes text without its zero, then terminator with its zero.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);
// Reads a record written by aStream_WriteCStringRecord: up to terminator and its zero, at
// most size - 1 characters, and zero-terminates buffer.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator);

// A stream reading the file at path (get only) / writing it, truncated (put and write).
// aErrResource, and *stream null, for a null argument, a file that cannot be opened or
// exhausted memory.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

KX_EXTERN_C_END

#endif
