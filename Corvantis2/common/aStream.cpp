// The generic stream: procedure dispatch, the put-back ring, record operations and the file
// streams.
#include "aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "unix_file.h"

aStream *aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void *reference) {
    aStream *stream = static_cast<aStream *>(std::calloc(1, sizeof(aStream)));
    if (stream) {
        stream->check = aSTREAM_CHECK;
        stream->getProc = get;
        stream->putProc = put;
        stream->writeProc = write;
        stream->deleteProc = del;
        stream->procRef = reference;
    }
    return stream;
}

aErr aStream_Destroy(aStream **stream) {
    if (stream == nullptr)
        return aErrParam;
    aStream *s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr err = aErrNone;
    if (s->deleteProc)
        err = s->deleteProc(s->procRef);
    std::free(s->buffer);
    s->check = 0;
    std::free(s);
    return err;
}

aErr aStreamBufferChar(aStream *stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream))
        return aErrParam;
    if (stream->buffer == nullptr || stream->bufferCount + 1 >= stream->bufferSize) {
        // Grow by one step, copying the ring oldest byte first.
        size_t size = stream->bufferSize + aSTREAM_PUTBACK_STEP;
        uint8_t *grown = static_cast<uint8_t *>(std::malloc(size));
        if (grown == nullptr)
            return aErrMemory;
        for (size_t i = 0; i < stream->bufferCount; i++)
            grown[i] = stream->buffer[(stream->bufferRead + i) % stream->bufferSize];
        std::free(stream->buffer);
        stream->buffer = grown;
        stream->bufferSize = size;
        stream->bufferRead = 0;
        stream->bufferWrite = stream->bufferCount;
    }
    stream->buffer[stream->bufferWrite] = byte;
    stream->bufferWrite = (stream->bufferWrite + 1) % stream->bufferSize;
    stream->bufferCount++;
    return aErrNone;
}

// One byte: the oldest put-back byte if there is one, else from the get procedure.
static aErr sGetByte(aStream *stream, uint8_t *byte) {
    if (stream->bufferCount > 0) {
        *byte = stream->buffer[stream->bufferRead];
        stream->bufferRead = (stream->bufferRead + 1) % stream->bufferSize;
        stream->bufferCount--;
        return aErrNone;
    }
    return stream->getProc(byte, stream->procRef);
}

// Keeps bytes already taken for the next read; on failure they are lost (aErrMemory).
static aErr sPutBack(aStream *stream, const uint8_t *bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        aErr err = aStreamBufferChar(stream, bytes[i]);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_Read(aStream *stream, uint8_t *buffer, size_t count) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr)
        return aErrParam;
    if (stream->getProc == nullptr)
        return aErrMode;
    // Most reads are single bytes; only large ones need the heap.
    uint8_t small[64];
    uint8_t *temp = small;
    if (count > sizeof(small)) {
        temp = static_cast<uint8_t *>(std::malloc(count));
        if (temp == nullptr)
            return aErrResource;
    }
    aErr err = aErrNone;
    size_t got = 0;
    while (got < count) {
        err = sGetByte(stream, &temp[got]);
        if (err != aErrNone)
            break;
        got++;
    }
    if (err == aErrNotReady) {
        aErr kept = sPutBack(stream, temp, got);
        if (kept != aErrNone)
            err = kept;
    } else if (err == aErrNone || err == aErrEOF) {
        std::memcpy(buffer, temp, got);
    }
    if (temp != small)
        std::free(temp);
    return err;
}

aErr aStream_Write(aStream *stream, const uint8_t *bytes, size_t length) {
    if (!aVALIDSTREAM(stream) || bytes == nullptr)
        return aErrParam;
    if (stream->writeProc && (length > 1 || stream->putProc == nullptr))
        return stream->writeProc(bytes, length, stream->procRef);
    if (stream->putProc == nullptr)
        return aErrMode;
    for (size_t i = 0; i < length; i++) {
        aErr err = stream->putProc(bytes[i], stream->procRef);
        if (err != aErrNone)
            return err;
    }
    return aErrNone;
}

aErr aStream_WriteRecord(aStream *stream, const uint8_t *data, size_t length,
                         const uint8_t *delimiter, size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || (data == nullptr && length > 0) ||
        (delimiter == nullptr && delimiterLength > 0))
        return aErrParam;
    aErr err = aErrNone;
    if (length > 0)
        err = aStream_Write(stream, data, length);
    if (err == aErrNone && delimiterLength > 0)
        err = aStream_Write(stream, delimiter, delimiterLength);
    return err;
}

aErr aStream_ReadRecord(aStream *stream, uint8_t *buffer, size_t *length, size_t size,
                        const uint8_t *delimiter, size_t delimiterLength) {
    if (!aVALIDSTREAM(stream) || buffer == nullptr || length == nullptr ||
        (delimiter == nullptr && delimiterLength > 0))
        return aErrParam;
    if (stream->getProc == nullptr)
        return aErrMode;
    *length = 0;
    size_t stored = 0;
    size_t matched = 0; // delimiter bytes matched so far, consumed and not stored
    aErr err = aErrNone;
    bool done = false;
    while (!done && stored < size) {
        uint8_t byte;
        err = sGetByte(stream, &byte);
        if (err != aErrNone)
            break;
        if (matched < delimiterLength && byte == delimiter[matched]) {
            if (++matched == delimiterLength)
                done = true;
            continue;
        }
        if (matched == 0) {
            buffer[stored++] = byte;
            continue;
        }
        // A broken partial match: the matched bytes plus this one are data, except for their
        // longest tail that still starts the delimiter ("aab" must be found in "aaab").
        size_t total = matched + 1;
        size_t shift = 1;
        for (; shift < total; shift++) {
            bool fits = true;
            for (size_t i = 0; fits && shift + i < total; i++) {
                uint8_t c = (shift + i < matched) ? delimiter[shift + i] : byte;
                fits = c == delimiter[i];
            }
            if (fits)
                break;
        }
        for (size_t i = 0; i < shift && stored < size; i++)
            buffer[stored++] = (i < matched) ? delimiter[i] : byte;
        matched = total - shift;
    }
    if (err == aErrNotReady) {
        // Keep every consumed byte, in order, for the next call.
        aErr kept = sPutBack(stream, buffer, stored);
        if (kept == aErrNone)
            kept = sPutBack(stream, delimiter, matched);
        if (kept != aErrNone)
            err = kept;
    } else if (err == aErrEOF) {
        // A partial delimiter at the end of data is data.
        for (size_t i = 0; i < matched && stored < size; i++)
            buffer[stored++] = delimiter[i];
        if (stored > 0) {
            *length = stored;
            err = aErrNone;
        }
    } else if (err == aErrNone) {
        *length = stored;
    }
    return err;
}

aErr aStream_WriteCString(aStream *stream, const char *text) {
    if (text == nullptr)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t *>(text), std::strlen(text) + 1);
}

aErr aStream_ReadCString(aStream *stream, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return aErrParam;
    const uint8_t zero = 0;
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t *>(buffer), &length, size - 1,
                                  &zero, 1);
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStream *stream, const char *text, const char *delimiter) {
    if (text == nullptr || delimiter == nullptr)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t *>(text), std::strlen(text),
                               reinterpret_cast<const uint8_t *>(delimiter),
                               std::strlen(delimiter));
}

aErr aStream_ReadCStringRecord(aStream *stream, char *buffer, size_t size, const char *delimiter) {
    if (buffer == nullptr || size == 0 || delimiter == nullptr)
        return aErrParam;
    size_t length = 0;
    aErr err =
        aStream_ReadRecord(stream, reinterpret_cast<uint8_t *>(buffer), &length, size - 1,
                           reinterpret_cast<const uint8_t *>(delimiter), std::strlen(delimiter));
    buffer[err == aErrNone ? length : 0] = '\0';
    return err;
}

aErr aStream_Flush(aStream *from, aStream *to) {
    if (!aVALIDSTREAM(from) || !aVALIDSTREAM(to))
        return aErrParam;
    if (from->getProc == nullptr || to->putProc == nullptr)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr err = sGetByte(from, &byte);
        if (err == aErrEOF)
            return aErrNone;
        if (err != aErrNone)
            return err;
        err = to->putProc(byte, to->procRef);
        if (err != aErrNone)
            return err;
    }
}

// File streams over the system layer's file handles.

static aErr sFileGet(uint8_t *byte, void *reference) {
    return aFile_Read(static_cast<aFileRef>(reference), byte, 1, nullptr);
}

static aErr sFilePut(uint8_t byte, void *reference) {
    return aFile_Write(static_cast<aFileRef>(reference), &byte, 1, nullptr);
}

static aErr sFileWrite(const uint8_t *bytes, size_t length, void *reference) {
    size_t count = 0;
    aErr err = aFile_Write(static_cast<aFileRef>(reference), bytes, length, &count);
    if (err == aErrNone && count != length)
        err = aErrIO;
    return err;
}

static aErr sFileDelete(void *reference) {
    aFileRef file = static_cast<aFileRef>(reference);
    return aFile_Close(&file);
}

static aErr sCreateFileStream(const char *path, aFileMode mode, aStream **stream) {
    if (path == nullptr || stream == nullptr)
        return aErrResource;
    aFileRef file = aFile_Open(path, mode);
    if (file == nullptr)
        return aErrResource;
    aStream *s = (mode == aFileModeReadOnly)
                     ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                     : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (s == nullptr) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateFileInput(const char *path, aStream **stream) {
    return sCreateFileStream(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char *path, aStream **stream) {
    return sCreateFileStream(path, aFileModeWriteOnly, stream);
}
