// A private temporary folder for one test, removed with everything in it afterwards.
#ifndef _tests_unix_TempDir_H_
#define _tests_unix_TempDir_H_

#include <cstdlib>
#include <filesystem>
#include <string>

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

#endif
