// A private temporary folder for one test, removed with everything in it afterwards.
#ifndef _tests_unix_TempDir_H_
#define _tests_unix_TempDir_H_

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/syslayer_test_XXXXXX";
        const char *made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Works from inside a folder for one scope and always goes back where the test started.
struct WorkIn {
    std::string previous;
    bool moved = false;
    explicit WorkIn(const std::string &path) {
        char here[4096];
        if (getcwd(here, sizeof(here))) {
            previous = here;
            moved = chdir(path.c_str()) == 0;
        }
    }
    ~WorkIn() {
        if (moved && chdir(previous.c_str()) != 0)
            std::abort();
    }
    WorkIn(const WorkIn &) = delete;
    WorkIn &operator=(const WorkIn &) = delete;
};

#endif
