// Path joining, directory creation, listing and removal.
#ifndef _aDirectory_H_
#define _aDirectory_H_

#include <cstddef>
#include <cstdint>

#include "aError.h"

// The path separator.
extern const char aDIR_PATH_SEP[2];

// Most components aDirectory_BuildPath joins.
#define aDIRECTORY_MAXCOMPONENTS 10

// One directory entry handed to a listing callback; valid only during the call.
typedef struct aDirectoryListData {
    const char *path;    // the listed directory joined with the entry's name
    uint32_t size;       // low 32 bits of the entry's size
    int32_t isDirectory; // 1 for a directory, else 0
} aDirectoryListData;

// Returns true to continue with the next entry, false to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData *data, void *reference);

// Joins up to 10 components (ended by a null pointer) into buffer, inserting "/" only where
// neither side supplies one. aErrParam: null or aliased buffer, too many components.
// aErrOverrun: the result does not fit (the buffer keeps what was built so far).
aErr aDirectory_BuildPath(char *buffer, size_t size, const char *first, ...)
    __attribute__((sentinel));
// aDirectory_BuildPath with exactly two components; the result code is discarded.
void aDirectory_JoinPath(char *buffer, size_t size, const char *directory, const char *name);
// True when the path names a directory.
bool aDirectory_Exists(const char *path);
// Creates the directory and every missing ancestor; aErrPermission when one is not created.
aErr aDirectory_Ensure(const char *path, uint16_t mode);
// Calls proc for every entry ("." and ".." included); aErrNotFound if it cannot be opened.
aErr aDirectory_List(const char *path, aDirectoryListProc proc, void *reference);
// Removes an empty directory; aErrUnknown on failure.
aErr aDirectory_Delete(const char *path);
// Removes a directory with everything in it.
aErr aDirectory_DeleteTree(const char *path);
// The current working directory; aErrParam when it does not fit or cannot be read.
aErr aDirectory_CWD(char *buffer, size_t size);
// The path of the running executable; aErrRead when it cannot be read.
aErr aDirectory_ExecutableFilePath(char *buffer, size_t size);
// The real user's home directory, else $HOME; aErrNotFound when neither is known.
aErr aDirectory_GetHomeDirectory(char *buffer, size_t size);

// The last occurrence of pattern in text, or null. An empty pattern yields text.
const char *backwards_memcmp(const char *text, const char *pattern);

#endif
