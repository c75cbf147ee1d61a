// Serial-port streams (termios raw mode). Gets of the plain stream never wait (those of the
// packetized one wait up to 5 ms for a byte); writes wait until the bytes are transmitted.
#ifndef _unix_streamserial_H_
#define _unix_streamserial_H_

#include <cstdint>
#include <termios.h>

#include "aStream.h"

#define aSERIAL_CHECK 0xBEEF
#define aSERIAL_MAXPATH 4096

// Baud index 0..7: 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400. Any other index sets
// the speed to 0 (hang-up).
// The index of a baud rate, or -1 if the rate is not one of the eight.
int aStream_SerialBaudIndex(uint32_t baudRate);

// The raw terminal settings that the serial streams apply for these arguments: no input or output
// processing, no local modes, receiver on, modem lines ignored, the speed of baudIndex both
// ways, and reads that return at once (VMIN 0, VTIME 0).
void aStream_SerialRawSettings(struct termios *settings, uint32_t baudIndex, uint8_t parity,
                               uint8_t dataBitsMode, uint8_t stopBitsMode);

// Opens and configures a serial port as a plain byte stream. parity nonzero: even parity.
// dataBitsMode 0: eight data bits, 1: seven. stopBitsMode 0: one stop bit, 1: two.
// aErrParam (null path or out pointer, path too long, a mode above 1), aErrMemory or
// aErrResource (allocation), aErrNotFound (no such path), aErrPermission (refused), aErrIO.
aErr aStream_CreateSerial(const char *path, uint32_t baudIndex, uint8_t parity,
                          uint8_t dataBitsMode, uint8_t stopBitsMode, aStream **stream);
// The same port wrapped in the COBS-encoded packet framing; used for serial links. With nothing
// to read, its underlying get waits up to 5 ms for a byte.
aErr aStream_CreateSerial_Packetized(const char *path, uint32_t baudIndex, uint8_t parity,
                                     uint8_t dataBitsMode, uint8_t stopBitsMode, aStream **stream);

#endif
