// A stream that frames each packet written to it: the packet image and its CRC-8, COBS-encoded
// and followed by one zero byte. Gets return the images of received frames byte by byte.
#ifndef _aStream_CobsEncoding_H_
#define _aStream_CobsEncoding_H_

#include "aStream.h"

#define aCOBS_CHECK 0xC0B5
// Encoded bytes of the longest frame (30-byte image, CRC, one COBS code byte) and with delimiter.
#define aCOBS_MAXENCODED 32
#define aCOBS_MAXFRAME 33

// Wraps the underlying stream given as its four procedures and reference; the underlying stream
// is owned from then on (deleting this stream deletes it). aErrParam for a null out pointer
// (else *stream is nulled first), aErrMemory if the record cannot be allocated, aErrResource if
// the stream cannot be created.
//   get:    the next byte of a received packet image; aErrNotReady while no frame is complete
//           (also when the underlying read fails); aErrPacket once for a frame with a wrong
//           length or CRC.
//   put:    passed to the underlying put, without framing.
//   write:  bytes are assembled into packets; each complete packet goes out as one frame with
//           one underlying write. Bytes that cannot start or continue a packet are dropped.
//   delete: deletes the underlying stream and returns its result.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void *reference, aStream **stream);

#endif
