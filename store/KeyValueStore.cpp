#include "KeyValueStore.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "unix_file.h"

namespace {
// Lines longer than this, line end included, end the reading.
const size_t kLineBufferSize = 2048;

// Owns a file descriptor; closes it on every path.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }
    int close() {
        int rc = 0;
        if (fd_ >= 0)
            rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

bool sWriteAll(int fd, const std::string &text) {
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

std::string sTrimRight(const char *begin, const char *end) {
    while (end > begin && isspace(static_cast<unsigned char>(end[-1])))
        --end;
    return std::string(begin, end);
}
} // namespace

KeyValueStore::KeyValueStore(const char *path) {
    if (path)
        Load(path);
}

std::string KeyValueStore::TimeText() {
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local))
        return std::string();
    char text[64];
    snprintf(text, sizeof(text), "%.3s %.3s%3d %.2d:%.2d:%.2d %d", days[local.tm_wday % 7],
             months[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
             1900 + local.tm_year);
    return text;
}

bool KeyValueStore::set(const char *key, const std::string &value) {
    if (!key)
        return true;
    auto it = entries_.find(key);
    const std::string &old = it == entries_.end() ? std::string() : it->second;
    if (old != value)
        changed_ = true;
    entries_[key] = value;
    return true;
}

const char *KeyValueStore::operator[](const char *key) const {
    if (!key)
        return nullptr;
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const char *key, int defaultValue) {
    if (!key)
        return defaultValue;
    const std::string &value = entries_[key];
    if (value.empty())
        return defaultValue;
    return static_cast<int>(strtol(value.c_str(), nullptr, 10));
}

uint32_t KeyValueStore::GetHex(const char *key, uint32_t defaultValue) {
    if (!key)
        return defaultValue;
    const std::string &value = entries_[key];
    if (value.empty())
        return defaultValue;
    return static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char *key, bool defaultValue) {
    if (!key)
        return defaultValue;
    const std::string &value = entries_[key];
    if (value.empty())
        return defaultValue;
    return strtol(value.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const char *key, double defaultValue) {
    if (!key)
        return defaultValue;
    const std::string &value = entries_[key];
    if (value.empty())
        return defaultValue;
    return strtod(value.c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char *key, const char *defaultValue) const {
    const char *value = (*this)[key];
    if (value)
        return value;
    return defaultValue ? defaultValue : "";
}

bool KeyValueStore::Add(const char *key, int value) {
    return set(key, std::to_string(value));
}

bool KeyValueStore::Add(const char *key, double value) {
    char text[512];
    snprintf(text, sizeof(text), "%f", value);
    return set(key, text);
}

bool KeyValueStore::Add(const char *key, const char *value) {
    return set(key, value ? value : "");
}

bool KeyValueStore::Add(const char *key, const std::string &value) {
    return set(key, value);
}

bool KeyValueStore::AddHex(const char *key, uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return set(key, text);
}

bool KeyValueStore::Add(const KeyValueStore &other) {
    if (&other == this) {
        changed_ = changed_ || !entries_.empty();
        return true;
    }
    for (const auto &entry : other.entries_) {
        entries_[entry.first] = entry.second;
        changed_ = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    changed_ = true;
    return true;
}

void KeyValueStore::parseLine(const char *line) {
    const char *p = line;
    while (*p && isspace(static_cast<unsigned char>(*p)))
        ++p;
    const char *equals = strchr(p, '=');
    if (!equals) {
        // The writer never produces such a line; keep the trimmed text as a key without value.
        entries_[sTrimRight(p, p + strlen(p))] = std::string();
        return;
    }
    std::string key = sTrimRight(p, equals);
    const char *v = equals + 1;
    while (*v && isspace(static_cast<unsigned char>(*v)))
        ++v;
    entries_[key] = sTrimRight(v, v + strlen(v));
}

aErr KeyValueStore::Load(const char *path) {
    if (!path)
        return aErrParam;
    aFileRef file = aFile_Open(path, aFileModeReadOnly);
    if (!file) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, error);
        set(KEY_CREATED_TIME, TimeText());
        Save(path);
    }
    filename_ = path;
    changed_ = false;
    if (!file)
        return aErrNotFound;

    char line[kLineBufferSize];
    size_t length = 0;
    while (aFile_ReadLine(file, line, sizeof(line), &length) == aErrNone) {
        if (length < 3 || line[0] == '#')
            continue;
        parseLine(line);
    }
    return aFile_Close(&file);
}

aErr KeyValueStore::Save(const char *path) {
    if (path) {
        filename_ = path;
    } else if (filename_.empty()) {
        filename_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 filename_.c_str());
    }
    if (changed_)
        entries_[KEY_UPDATED_TIME] = TimeText();

    const char *shownPath = path ? path : filename_.c_str();
    auto fail = [&](int error) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 shownPath, error);
        return error == EACCES || error == EPERM || error == EROFS ? aErrPermission : aErrIO;
    };

    // A file that may not be written stays as it is, even though its folder would let a
    // replacement in.
    struct stat old;
    bool exists = stat(filename_.c_str(), &old) == 0;
    if (exists && access(filename_.c_str(), W_OK) != 0)
        return fail(errno);

    std::string text;
    for (const auto &entry : entries_) {
        text += entry.first;
        text += '=';
        text += entry.second;
        text += '\n';
    }

    // Write a sibling file and rename it over the old one: an interrupted or failed save
    // leaves the previous settings whole.
    static std::atomic<unsigned> counter{0};
    std::string temporary =
        filename_ + ".tmp." + std::to_string(getpid()) + "." + std::to_string(++counter);
    FileDescriptor fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return fail(errno);
    if (exists)
        (void)fchmod(fd.get(), old.st_mode & 07777);
    int error = 0;
    errno = 0;
    if (!sWriteAll(fd.get(), text) || fsync(fd.get()) != 0)
        error = errno ? errno : EIO;
    if (fd.close() != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temporary.c_str(), filename_.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return fail(error);
    }
    changed_ = false;
    return aErrNone;
}
