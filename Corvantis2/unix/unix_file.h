// Files of the device library: a checked handle over a stdio stream.
#ifndef _unix_file_H_
#define _unix_file_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Longest path any path operation accepts, in bytes.
#define aFILE_MAXPATH 4096

typedef enum {
    aFileModeReadOnly = 0,  // "rb"
    aFileModeWriteOnly = 1, // "wb": creates or truncates
    aFileModeAppend = 2,    // "ab+": read and write, positioned at the end
    aFileModeUnknown = 3,   // refused
} aFileMode;

typedef enum {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
} aFileSeekMode;

typedef struct aFile *aFileRef;

// True when the handle is non-null and carries the file validity word.
bool aVALIDFILE(aFileRef file);

// True if the path names an existing object that is not a directory.
bool aFile_Exists(const char *path);
// A new handle, or null on any failure (null, empty or overlong path, refused mode, open failure).
aFileRef aFile_Open(const char *path, aFileMode mode);
// Closes and frees the handle; always nulls *file. aErrParam for a null or invalid handle.
aErr aFile_Close(aFileRef *file);
// Reads up to length bytes (mode read or append); nothing read for length > 0 is aErrEOF.
aErr aFile_Read(aFileRef file, uint8_t *buffer, size_t length, size_t *count);
// Writes length bytes (mode write or append); nothing written for length > 0 is aErrIO.
aErr aFile_Write(aFileRef file, const uint8_t *data, size_t length, size_t *count);
// Moves to origin + offset; the target must lie within 0..size (aErrRange otherwise).
aErr aFile_Seek(aFileRef file, long offset, aFileSeekMode origin);
// Size in bytes; the position is kept. aErrIO (size 0) if it cannot be found.
aErr aFile_GetSize(aFileRef file, size_t *size);
// Reads one line including its line end. A line that fills the buffer without its line end
// is aErrOverrun (the rest stays unread); end of file before any byte is aErrEOF.
aErr aFile_ReadLine(aFileRef file, char *buffer, size_t size, size_t *length);
// Formatted write (mode write or append); a failed write is aErrIO.
aErr aFile_Printf(aFileRef file, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Switches the stream to unbuffered (mode write or append, else aErrMode).
aErr aFile_SetUnbuffered(aFileRef file);
// Removes a file: aErrNotFound, aErrPermission, aErrIO, aErrParam, aErrFileNameLength.
aErr aFile_Delete(const char *path);

#endif
