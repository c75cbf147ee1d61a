#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char aDIR_PATH_SEP[2] = "/";

// Longest path any path operation accepts, in bytes.
#define aDIRECTORY_MAXPATH 4096
// Size of the path buffer that listing and removal join entry names into.
#define aDIRECTORY_ENTRYPATH 2048

static bool sPathOK(const char *path) {
    return path && strnlen(path, aDIRECTORY_MAXPATH + 1) <= aDIRECTORY_MAXPATH;
}

const char *backwards_memcmp(const char *text, const char *pattern) {
    if (!text)
        return nullptr;
    if (!pattern || !pattern[0])
        return text;
    size_t textLength = strlen(text);
    size_t patternLength = strlen(pattern);
    if (patternLength > textLength)
        return nullptr;
    for (size_t pos = textLength - patternLength + 1; pos-- > 0;)
        if (memcmp(text + pos, pattern, patternLength) == 0)
            return text + pos;
    return nullptr;
}

aErr aDirectory_BuildPath(char *buffer, size_t size, const char *first, ...) {
    if (!buffer || !first || buffer == first)
        return aErrParam;
    if (size > 0)
        buffer[0] = '\0';

    // Check every component before writing anything.
    size_t count = 1;
    va_list args;
    va_start(args, first);
    const char *component;
    bool aliased = false;
    while ((component = va_arg(args, const char *)) != nullptr) {
        if (component == buffer)
            aliased = true;
        if (++count > aDIRECTORY_MAXCOMPONENTS)
            break;
    }
    va_end(args);
    if (aliased || count > aDIRECTORY_MAXCOMPONENTS)
        return aErrParam;

    size_t length = strlen(first);
    if (size < 2 || length >= size - 1)
        return aErrOverrun;
    memcpy(buffer, first, length + 1);

    const char sep = aDIR_PATH_SEP[0];
    aErr err = aErrNone;
    va_start(args, first);
    while ((component = va_arg(args, const char *)) != nullptr) {
        size_t room = size - length - 1;
        if (room > 1 && (length == 0 || buffer[length - 1] != sep) && component[0] != sep) {
            buffer[length++] = sep;
            buffer[length] = '\0';
            --room;
        }
        size_t componentLength = strlen(component);
        if (componentLength >= room) {
            err = aErrOverrun;
            break;
        }
        memcpy(buffer + length, component, componentLength + 1);
        length += componentLength;
    }
    va_end(args);
    return err;
}

void aDirectory_JoinPath(char *buffer, size_t size, const char *directory, const char *name) {
    (void)aDirectory_BuildPath(buffer, size, directory, name, nullptr);
}

bool aDirectory_Exists(const char *path) {
    if (!sPathOK(path))
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates one level; an entry that is already there is no failure (a file in the way shows up
// at the next level or in the final check).
static bool sMakeDirectory(const char *path, uint16_t mode) {
    if (aDirectory_Exists(path))
        return true;
    return mkdir(path, mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char *path, uint16_t mode) {
    if (!path || !path[0])
        return aErrParam;
    if (!sPathOK(path))
        return aErrFileNameLength;
    if (aDirectory_Exists(path))
        return aErrNone;

    std::string copy(path);
    char *text = &copy[0];
    const char sep = aDIR_PATH_SEP[0];

    // Find the deepest ancestor that exists; creation starts just after its separator. Each
    // round searches the copy as cut by the previous round, then puts that cut back.
    size_t start = 0;
    char *cut = nullptr;
    for (;;) {
        const char *slash = backwards_memcmp(text, aDIR_PATH_SEP);
        if (cut)
            *cut = sep;
        if (!slash) {
            start = 0;
            break;
        }
        cut = const_cast<char *>(slash);
        *cut = '\0';
        if (aDirectory_Exists(text)) {
            *cut = sep;
            start = static_cast<size_t>(cut - text) + 1;
            break;
        }
    }
    aErr err = aErrNone;
    for (size_t i = start; i < copy.size(); ++i) {
        if (text[i] != sep)
            continue;
        if (i == 0 || text[i - 1] == sep)
            continue; // empty component
        text[i] = '\0';
        bool ok = sMakeDirectory(text, mode);
        text[i] = sep;
        if (!ok) {
            err = aErrPermission;
            break;
        }
    }
    if (err == aErrNone && !sMakeDirectory(text, mode))
        err = aErrPermission;
    // A regular file of the same name also answers "already exists".
    if (err == aErrNone && !aDirectory_Exists(path))
        err = aErrPermission;
    return err;
}

aErr aDirectory_List(const char *path, aDirectoryListProc proc, void *reference) {
    if (!sPathOK(path) || !proc)
        return aErrParam;
    DIR *dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    char entryPath[aDIRECTORY_ENTRYPATH];
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        // An entry whose path does not fit would be handed over under a wrong name: skip it.
        if (aDirectory_BuildPath(entryPath, sizeof(entryPath), path, entry->d_name, nullptr) !=
            aErrNone)
            continue;
        struct stat st;
        if (stat(entryPath, &st) != 0)
            continue;
        aDirectoryListData data;
        data.path = entryPath;
        data.size = static_cast<uint32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
        if (!proc(&data, reference))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char *path) {
    if (!sPathOK(path))
        return aErrParam;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char *path) {
    if (!sPathOK(path))
        return aErrParam;
    DIR *dir = opendir(path);
    if (!dir)
        return aErrNotFound;
    aErr err = aErrNone;
    char entryPath[aDIRECTORY_ENTRYPATH];
    struct dirent *entry;
    while (err == aErrNone && (entry = readdir(dir)) != nullptr) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        err = aDirectory_BuildPath(entryPath, sizeof(entryPath), path, entry->d_name, nullptr);
        if (err != aErrNone)
            break;
        // lstat: a link to a directory is removed as a link, never followed out of the tree.
        struct stat st;
        if (lstat(entryPath, &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            err = aDirectory_DeleteTree(entryPath);
        } else if (unlink(entryPath) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entryPath);
            err = aErrUnknown;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char *buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    if (!getcwd(buffer, size)) {
        buffer[0] = '\0';
        return aErrParam;
    }
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char *buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char *buffer, size_t size) {
    if (!buffer || size == 0)
        return aErrParam;
    buffer[0] = '\0';
    std::string home;
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd record;
    struct passwd *found = nullptr;
    int rc;
    while ((rc = getpwuid_r(getuid(), &record, scratch.data(), scratch.size(), &found)) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    if (rc == 0 && found && found->pw_dir)
        home = found->pw_dir;
    else if (const char *env = getenv("HOME"))
        home = env;
    else
        return aErrNotFound;
    size_t n = home.size() < size - 1 ? home.size() : size - 1;
    memcpy(buffer, home.data(), n);
    buffer[n] = '\0';
    return aErrNone;
}
