// Shared pieces of the store tests: a private temporary folder, the BIRD file builder of
// tests/peers run as a script, and capture of the diagnostic log and the standard output.
#ifndef _BirdTestSupport_H_
#define _BirdTestSupport_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "Log.h"

namespace birdtest {

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/storetest.XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Runs Python code with the builder imported as b; the code's working folder is dir.
inline void runBuilder(const std::string &dir, const std::string &code) {
    std::string script = dir + "/make_fixture.py";
    writeFile(script, "import sys, os\nsys.dont_write_bytecode = True\n"
                      "sys.path.insert(0, '" PEERS_DIR "')\n"
                      "import birdfile as b\nos.chdir('" +
                          dir + "')\n" + code + "\n");
    std::string command = "python3 '" + script + "'";
    int rc = system(command.c_str());
    ASSERT_EQ(rc, 0) << "builder failed:\n" << code;
}

// Collects the diagnostic log of the given packages while it lives.
class LogCapture {
public:
    explicit LogCapture(unsigned packages) : file(tmpfile()) {
        Log::DeactivatePackage(0xFFFFFFFFu);
        Log::ActivatePackage(packages);
        Log::SetOutput(file);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFFu);
        fclose(file);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    std::string text() const {
        fflush(file);
        rewind(file);
        std::string t;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), file)) > 0)
            t.append(buf, n);
        fseek(file, 0, SEEK_END);
        return t;
    }
    bool has(const std::string &line) const { return text().find(line) != std::string::npos; }

private:
    FILE *file;
};

// Collects what is printed on the standard output while it lives.
class StdoutCapture {
public:
    StdoutCapture() : file(tmpfile()) {
        fflush(stdout);
        saved = dup(1);
        dup2(fileno(file), 1);
    }
    ~StdoutCapture() {
        restore();
        fclose(file);
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;
    std::string finish() {
        restore();
        rewind(file);
        std::string t;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), file)) > 0)
            t.append(buf, n);
        return t;
    }

private:
    void restore() {
        if (saved < 0)
            return;
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        saved = -1;
    }
    FILE *file;
    int saved = -1;
};

} // namespace birdtest

#endif
