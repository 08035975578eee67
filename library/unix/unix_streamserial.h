// Serial port streams: a terminal device in raw mode, read without blocking for long.
// The plain stream carries bytes as they are (the LPC ISP client); the packetized one
// adds the COBS framing with CRC-8 that every serial link to a module uses.
#ifndef KESTRIX_UNIX_STREAMSERIAL_H
#define KESTRIX_UNIX_STREAMSERIAL_H

#include "aStream.h"

KX_EXTERN_C_BEGIN

// Speeds by baud index: 0 = 2400, 1 = 4800, 2 = 9600, 3 = 19200, 4 = 38400, 5 = 57600,
// 6 = 115200, 7 = 230400.
#define aSTREAMSERIAL_BAUD_COUNT 8

// Opens the terminal at path in raw mode at the speed of baudIndex: even parity when
// parity is true, else none; 8 data bits for dataBits 0, 7 for 1; 1 stop bit for
// stopBits 0, 2 for 1. Reads return what has arrived, waiting a little when nothing has.
// The settings found are restored when the stream is destroyed. aErrNotFound for a
// missing path, aErrPermission when access is denied, aErrIO when the device cannot be
// opened or set up, aErrParam for a null argument, a baud index outside the table or a
// selector above 1, aErrFileNameLength for a path of 4096 characters or more, aErrMemory
// when memory is exhausted. *stream is null on failure.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** stream);
// The same port framed for a serial link: each complete packet written goes out as one
// COBS frame with CRC-8, and reads hand out the packets of valid frames received.
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** stream);

// The speed in bits per second of a baud index; 0 outside the table.
uint32_t aStreamSerial_BaudRate(uint32_t baudIndex);

KX_EXTERN_C_END

#endif
