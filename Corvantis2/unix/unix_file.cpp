#include "unix_file.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#define aFILE_CHECK 0xFEEDu

struct aFile {
    uint32_t check;
    aFileMode mode;
    FILE *fp;
    int lastOp; // sOpRead or sOpWrite: an append stream switching direction must reposition
};

enum { sOpNone = 0, sOpRead = 1, sOpWrite = 2 };

// Standard C requires a flush or a seek between output and input on one stream.
static void sTurn(aFileRef file, int op) {
    if (file->mode == aFileModeAppend && file->lastOp != sOpNone && file->lastOp != op)
        fseek(file->fp, 0, SEEK_CUR);
    file->lastOp = op;
}

bool aVALIDFILE(aFileRef file) {
    return file && file->check == aFILE_CHECK;
}

static bool sCanRead(aFileRef file) {
    return file->mode == aFileModeReadOnly || file->mode == aFileModeAppend;
}

static bool sCanWrite(aFileRef file) {
    return file->mode == aFileModeWriteOnly || file->mode == aFileModeAppend;
}

static bool sPathOK(const char *path) {
    return path && path[0] && strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}

bool aFile_Exists(const char *path) {
    if (!sPathOK(path))
        return false;
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    return !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char *path, aFileMode mode) {
    if (!sPathOK(path))
        return nullptr;
    const char *stdioMode = nullptr;
    switch (mode) {
    case aFileModeReadOnly:
        stdioMode = "rb";
        break;
    case aFileModeWriteOnly:
        stdioMode = "wb";
        break;
    case aFileModeAppend:
        stdioMode = "ab+";
        break;
    default:
        return nullptr;
    }
    aFileRef file = static_cast<aFileRef>(calloc(1, sizeof(aFile)));
    if (!file)
        return nullptr;
    file->fp = fopen(path, stdioMode);
    if (!file->fp) {
        free(file);
        return nullptr;
    }
    // "ab+" leaves the read position at the start; callers expect the end.
    if (mode == aFileModeAppend && fseek(file->fp, 0, SEEK_END) != 0) {
        fclose(file->fp);
        free(file);
        return nullptr;
    }
    file->mode = mode;
    file->check = aFILE_CHECK;
    return file;
}

aErr aFile_Close(aFileRef *file) {
    if (!file)
        return aErrParam;
    aFileRef f = *file;
    *file = nullptr;
    if (!aVALIDFILE(f))
        return aErrParam;
    aErr err = fclose(f->fp) == 0 ? aErrNone : aErrIO;
    f->check = 0;
    f->fp = nullptr;
    free(f);
    return err;
}

aErr aFile_Read(aFileRef file, uint8_t *buffer, size_t length, size_t *count) {
    if (count)
        *count = 0;
    if (!aVALIDFILE(file) || (!buffer && length))
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sTurn(file, sOpRead);
    size_t n = length ? fread(buffer, 1, length, file->fp) : 0;
    if (count)
        *count = n;
    if (length && n == 0)
        return ferror(file->fp) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const uint8_t *data, size_t length, size_t *count) {
    if (count)
        *count = 0;
    if (!aVALIDFILE(file) || (!data && length))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sTurn(file, sOpWrite);
    size_t n = length ? fwrite(data, 1, length, file->fp) : 0;
    if (count)
        *count = n;
    if (length && n == 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t *size) {
    if (size)
        *size = 0;
    if (!aVALIDFILE(file) || !size)
        return aErrParam;
    long here = ftell(file->fp);
    if (here < 0 || fseek(file->fp, 0, SEEK_END) != 0)
        return aErrIO;
    long end = ftell(file->fp);
    if (fseek(file->fp, here, SEEK_SET) != 0 || end < 0)
        return aErrIO;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, aFileSeekMode origin) {
    if (!aVALIDFILE(file))
        return aErrParam;
    size_t size = 0;
    if (aFile_GetSize(file, &size) != aErrNone)
        return aErrIO;
    long base = 0;
    switch (origin) {
    case aSeekStart:
        base = 0;
        break;
    case aSeekCurrent:
        base = ftell(file->fp);
        if (base < 0)
            return aErrIO;
        break;
    case aSeekEnd:
        if (size > static_cast<size_t>(LONG_MAX))
            return aErrIO;
        base = static_cast<long>(size);
        break;
    default:
        return aErrParam;
    }
    long target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 ||
        static_cast<size_t>(target) > size)
        return aErrRange;
    if (fseek(file->fp, target, SEEK_SET) != 0 || ftell(file->fp) != target)
        return aErrIO;
    file->lastOp = sOpNone;
    return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char *buffer, size_t size, size_t *length) {
    if (length)
        *length = 0;
    if (!aVALIDFILE(file) || !buffer || size < 2)
        return aErrParam;
    if (!sCanRead(file))
        return aErrMode;
    sTurn(file, sOpRead);
    size_t n = 0;
    int c = EOF;
    buffer[0] = '\0';
    while (n < size - 1) {
        c = getc(file->fp);
        if (c == EOF)
            break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[n] = '\0';
    if (length)
        *length = n;
    if (c == EOF && ferror(file->fp))
        return aErrIO;
    if (n == 0)
        return aErrEOF;
    if (n == size - 1 && buffer[n - 1] != '\n')
        return aErrOverrun;
    return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char *format, ...) {
    if (!aVALIDFILE(file) || !format)
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    sTurn(file, sOpWrite);
    va_list args;
    va_start(args, format);
    int n = vfprintf(file->fp, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!aVALIDFILE(file))
        return aErrParam;
    if (!sCanWrite(file))
        return aErrMode;
    return setvbuf(file->fp, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Delete(const char *path) {
    if (!path)
        return aErrParam;
    if (strnlen(path, aFILE_MAXPATH + 1) > aFILE_MAXPATH)
        return aErrFileNameLength;
    if (unlink(path) == 0)
        return aErrNone;
    switch (errno) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
    case EPERM:
        return aErrPermission;
    default:
        return aErrIO;
    }
}
