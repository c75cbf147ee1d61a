// Runs a test inside a private network namespace (tests/e2e/netns_run: loopback plus the veth
// pair cvt0/cvt1, 10.77.0.1 and 10.77.0.2). Anything that sends to a multicast group or
// broadcasts goes through this, so that no datagram can leave the machine. The test starts
// itself again inside the namespace and refuses to run its body anywhere else.
// Header only, for the test programs of this folder.
#ifndef _PrivateNetwork_H_
#define _PrivateNetwork_H_

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace private_network {

inline const int kInside = -1;
inline const int kSkipped = 77;

inline bool sInsideNamespace() {
    const char *inside = getenv("UPDATER_IN_NETNS");
    return inside && strcmp(inside, "1") == 0;
}

// True when the only interfaces are the namespace's own: lo, cvt0, cvt1.
inline bool sOnlyPrivateInterfaces() {
    struct if_nameindex *names = if_nameindex();
    if (!names)
        return false;
    bool only = true;
    for (struct if_nameindex *n = names; n->if_index != 0; ++n)
        if (strcmp(n->if_name, "lo") != 0 && strcmp(n->if_name, "cvt0") != 0 &&
            strcmp(n->if_name, "cvt1") != 0)
            only = false;
    if_freenameindex(names);
    return only;
}

inline std::string sSkipReason;

// Outside: runs the current test again in a namespace and returns its exit code (kSkipped
// with sSkipReason set when it was skipped there). Inside: kInside.
inline int sRunInNamespace() {
    if (sInsideNamespace())
        return kInside;
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0)
        return 1;
    self[length] = '\0';
    char skipFile[] = "/tmp/discover_skipXXXXXX";
    int fd = mkstemp(skipFile);
    if (fd < 0)
        return 1;
    close(fd);
    std::string runner = std::string(PEERS_DIR) + "/../e2e/netns_run";
    std::string skipEnv = std::string("CVT_SKIP_FILE=") + skipFile;
    std::vector<char *> env;
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "CVT_SKIP_FILE=", 14) != 0)
            env.push_back(*e);
    env.push_back(const_cast<char *>(skipEnv.c_str()));
    env.push_back(nullptr);
    char *argv[] = {const_cast<char *>(runner.c_str()), self, const_cast<char *>(filter.c_str()),
                    nullptr};
    pid_t pid = 0;
    int status = 0;
    if (posix_spawn(&pid, runner.c_str(), nullptr, nullptr, argv, env.data()) != 0 ||
        waitpid(pid, &status, 0) != pid) {
        unlink(skipFile);
        return 1;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    char reason[512] = {0};
    FILE *f = fopen(skipFile, "r");
    if (f) {
        size_t n = fread(reason, 1, sizeof(reason) - 1, f);
        reason[n] = '\0';
        fclose(f);
    }
    unlink(skipFile);
    if (code == kSkipped) {
        sSkipReason = "network namespaces are refused here";
        return kSkipped;
    }
    if (code == 0 && reason[0]) {
        sSkipReason = reason;
        return kSkipped;
    }
    return code;
}

// Inside: records why the test skips, for the outer run to report.
inline void sNoteSkip(const char *reason) {
    const char *path = getenv("CVT_SKIP_FILE");
    FILE *f = path ? fopen(path, "w") : nullptr;
    if (f) {
        fputs(reason, f);
        fclose(f);
    }
}

#define RUN_IN_PRIVATE_NETWORK(needsVeth)                                                          \
    do {                                                                                           \
        int outer = private_network::sRunInNamespace();                                            \
        if (outer == private_network::kSkipped)                                                    \
            GTEST_SKIP() << private_network::sSkipReason;                                          \
        if (outer != private_network::kInside) {                                                   \
            ASSERT_EQ(outer, 0) << "the run inside the namespace failed";                          \
            return;                                                                                \
        }                                                                                          \
        ASSERT_TRUE(private_network::sOnlyPrivateInterfaces())                                     \
            << "not inside the private network namespace";                                         \
        if ((needsVeth) && !getenv("UPDATER_NETNS_VETH")) {                                        \
            private_network::sNoteSkip("no veth pair in the namespace");                           \
            GTEST_SKIP() << "no veth pair in the namespace";                                       \
        }                                                                                          \
    } while (0)

} // namespace private_network

#endif
