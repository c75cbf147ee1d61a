// A byte stream with four pluggable procedures (get one byte, put one byte, write a block,
// delete) and a put-back buffer. Every transport is one: socket, USB, serial port, files, the
// sharing server's client stream, the COBS-encoded stream, or a caller's own procedures.
// A stream has no lock: one thread may get while another writes (the put-back buffer is touched
// only by reads).
#ifndef _aStream_H_
#define _aStream_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aSTREAM_CHECK 0x4321
// The put-back buffer grows in steps of this many bytes.
#define aSTREAM_PUTBACK_STEP 512

// One byte out: 0 with a byte, aErrNotReady when none is available now, aErrEOF at the end of
// data, or another error.
typedef aErr (*aStreamGetProc)(uint8_t *byte, void *reference);
typedef aErr (*aStreamPutProc)(uint8_t byte, void *reference);
typedef aErr (*aStreamWriteProc)(const uint8_t *bytes, size_t length, void *reference);
// Frees the kind's record and releases its resource.
typedef aErr (*aStreamDeleteProc)(void *reference);

typedef struct aStream {
    uint16_t check; // aSTREAM_CHECK while valid
    aStreamGetProc getProc;
    aStreamPutProc putProc;
    aStreamWriteProc writeProc;
    aStreamDeleteProc deleteProc;
    void *procRef; // the kind's record, owned by the stream
    // Put-back ring, unallocated until the first byte is put back.
    uint8_t *buffer;
    size_t bufferSize;
    size_t bufferCount;
    size_t bufferRead;
    size_t bufferWrite;
} aStream;

// True for a non-null stream that carries the stream validity word.
inline bool aVALIDSTREAM(const aStream *stream) {
    return stream != nullptr && stream->check == aSTREAM_CHECK;
}

// New stream over the procedures (any may be null) and reference; null if memory is short.
aStream *aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void *reference);
// Calls the delete procedure (its result is the result), frees the put-back buffer, clears the
// validity word, frees the stream and nulls *stream. An invalid stream gives aErrParam; *stream
// is nulled all the same.
aErr aStream_Destroy(aStream **stream);

// Reads exactly count bytes, put-back bytes first. All or nothing while the source only runs
// dry: on aErrNotReady the bytes obtained are kept in the put-back buffer for the next read and
// buffer is untouched. On 0 or aErrEOF the bytes obtained are in buffer. Other errors drop the
// bytes obtained. aErrParam (invalid stream, null buffer), aErrMode (no get procedure),
// aErrResource (no temporary buffer).
aErr aStream_Read(aStream *stream, uint8_t *buffer, size_t count);
// With a write procedure and length above 1 (or no put procedure): one write call; otherwise
// one put per byte, stopping at the first error. aErrParam (invalid stream, null bytes),
// aErrMode (neither procedure).
aErr aStream_Write(aStream *stream, const uint8_t *bytes, size_t length);
// Appends one byte to the put-back buffer; the next read returns it before any new byte.
// aErrMemory if the buffer cannot grow.
aErr aStreamBufferChar(aStream *stream, uint8_t byte);

// Writes data, then the delimiter.
aErr aStream_WriteRecord(aStream *stream, const uint8_t *data, size_t length,
                         const uint8_t *delimiter, size_t delimiterLength);
// Reads up to the delimiter, which is consumed and not stored; at most size bytes are stored
// (the record also ends there). *length receives the stored count. aErrNotReady puts the bytes
// consumed back for the next call; aErrEOF after stored bytes ends the record with success, at
// the very start it is the result.
aErr aStream_ReadRecord(aStream *stream, uint8_t *buffer, size_t *length, size_t size,
                        const uint8_t *delimiter, size_t delimiterLength);
// Writes the text and its terminating zero byte.
aErr aStream_WriteCString(aStream *stream, const char *text);
// A record delimited by a zero byte, at most size - 1 bytes, stored with a terminating zero.
aErr aStream_ReadCString(aStream *stream, char *buffer, size_t size);
// Writes the text, then the delimiter text (without terminating zeros), so that
// aStream_ReadCStringRecord with the same delimiter reads it back.
aErr aStream_WriteCStringRecord(aStream *stream, const char *text, const char *delimiter);
// A record delimited by the delimiter text, at most size - 1 bytes, stored with a terminating
// zero.
aErr aStream_ReadCStringRecord(aStream *stream, char *buffer, size_t size, const char *delimiter);
// Moves bytes one at a time from one stream to the other until the source reports aErrEOF
// (result 0). Any other error of either side ends it with that error. aErrMode if the source
// has no get or the target no put; aErrParam for invalid streams.
aErr aStream_Flush(aStream *from, aStream *to);

// File streams. Input: only a get procedure (aErrEOF at the end). Output: put and write,
// writing a new file (created or truncated). aErrResource for a null path or out pointer or a
// file that cannot be opened; *stream is set only on success.
aErr aStream_CreateFileInput(const char *path, aStream **stream);
aErr aStream_CreateFileOutput(const char *path, aStream **stream);

#endif
