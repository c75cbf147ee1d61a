// Network discovery against the Python peers. Everything that sends to a multicast group or
// broadcasts a beacon runs inside a private network namespace (PrivateNetwork.h).
#include "discover.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "aLink.h"
#include "zBeaconInterface.h"

#include "PrivateNetwork.h"

extern char **environ;

namespace {

// --- peers -------------------------------------------------------------------------------

// A Python peer as a child process. It ends when its standard input closes.
class Peer {
public:
    Peer() = default;
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    ~Peer() { stop(); }

    // Starts the script with the arguments and waits until it printed a line that begins
    // with readyPrefix (at most 5 s). The output up to then is kept.
    bool start(const std::string &script, const std::vector<std::string> &arguments,
               const std::string &readyPrefix) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<std::string> args = {"python3", std::string(PEERS_DIR) + "/" + script};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawnp(&m_pid, "python3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
        if (rc != 0) {
            m_pid = 0;
            return false;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            size_t start = 0;
            for (size_t end; (end = m_output.find('\n', start)) != std::string::npos;
                 start = end + 1)
                if (m_output.compare(start, readyPrefix.size(), readyPrefix) == 0)
                    return true;
            struct pollfd p = {m_stdout, POLLIN, 0};
            if (poll(&p, 1, 50) == 1) {
                char buffer[512];
                ssize_t n = read(m_stdout, buffer, sizeof(buffer));
                if (n <= 0)
                    return false;
                m_output.append(buffer, (size_t)n);
            }
        }
        return false;
    }
    // The number after "key=" in the output, or -1.
    long value(const std::string &key) const {
        size_t at = m_output.find(key + "=");
        return at == std::string::npos
                   ? -1
                   : strtol(m_output.c_str() + at + key.size() + 1, nullptr, 10);
    }
    void stop() {
        if (m_stdin >= 0)
            close(m_stdin);
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_stdout >= 0)
            close(m_stdout);
        m_stdin = m_stdout = -1;
        m_pid = 0;
    }

private:
    pid_t m_pid = 0;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_output;
};

struct Found {
    std::vector<linkSpec> records;
};

bool sCollect(const linkSpec *spec, bool *accepted, void *reference) {
    ((Found *)reference)->records.push_back(*spec);
    *accepted = true;
    return true;
}

const linkSpec *sBySerial(const Found &found, uint32_t serial) {
    for (const linkSpec &spec : found.records)
        if (spec.serial_num == serial)
            return &spec;
    return nullptr;
}

size_t sCountSerial(const Found &found, uint32_t serial) {
    size_t count = 0;
    for (const linkSpec &spec : found.records)
        count += spec.serial_num == serial;
    return count;
}

uint32_t sAddress(const char *text) {
    uint32_t address = 0;
    inet_pton(AF_INET, text, &address);
    return address;
}

int sOpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

double sSecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// --- TCP/IP modules ----------------------------------------------------------------------

TEST(TcpipDiscovery, FindsTwoModulesAndConnectsToOne) {
    RUN_IN_PRIVATE_NETWORK(true);
    // A: a module peer that announces its own TCP port on 127.0.0.1.
    Peer a;
    ASSERT_TRUE(a.start("module_peer.py",
                        {"--tcp", "0", "--serial", "0x1111AAAA", "--address", "6", "--model",
                         "0x13", "--discovery"},
                        "tcp_port="));
    long portA = a.value("tcp_port");
    ASSERT_GT(portA, 0);
    // B: answers from the veth address, twice per request, with the port bytes 0x50 0x1F.
    Peer b;
    ASSERT_TRUE(b.start("discovery_responder.py",
                        {"--serial", "0x2222BBBB", "--address", "8", "--model", "0x21", "--port",
                         "8016", "--source", "10.77.0.2", "--repeat", "2"},
                        "ready"));

    Found found;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, 0), 2);
    double seconds = sSecondsSince(start);
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 4.0);
    ASSERT_EQ(found.records.size(), 2u);
    EXPECT_EQ(sCountSerial(found, 0x1111AAAA), 1u);
    EXPECT_EQ(sCountSerial(found, 0x2222BBBB), 1u);

    const linkSpec *first = sBySerial(found, 0x1111AAAA);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->type, (uint32_t)TCPIP);
    EXPECT_EQ(first->module, 6u);
    EXPECT_EQ(first->router, 6u);
    EXPECT_EQ(first->router_serial_num, 0x1111AAAAu);
    EXPECT_EQ(first->model, 0x13u);
    EXPECT_EQ(first->ip_address, sAddress("127.0.0.1"));
    EXPECT_EQ(first->ip_port, (uint32_t)portA);

    const linkSpec *second = sBySerial(found, 0x2222BBBB);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->module, 8u);
    EXPECT_EQ(second->model, 0x21u);
    EXPECT_EQ(second->ip_address, sAddress("10.77.0.2"));
    EXPECT_EQ(second->ip_port, 8016u);

    // Found by serial number (the search ends at the first match), then connected over TCP.
    start = std::chrono::steady_clock::now();
    linkSpec *spec = aDiscovery_FindModule(TCPIP, 0x1111AAAA, 0);
    EXPECT_LT(sSecondsSince(start), 1.5);
    ASSERT_NE(spec, nullptr);
    aLinkRef link = aLink_CreateTCPIP(spec->serial_num, spec->ip_address, (uint16_t)spec->ip_port);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), kLinkStatusRunning);
    uint8_t address = 0;
    EXPECT_EQ(_aLink_GetModuleAddress(link, &address), aErrNone);
    EXPECT_EQ(address, 6);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    aLinkSpec_Destroy(&spec);
}

TEST(TcpipDiscovery, ThroughOneInterface) {
    RUN_IN_PRIVATE_NETWORK(true);
    Peer b;
    ASSERT_TRUE(b.start("discovery_responder.py",
                        {"--serial", "0x2222BBBB", "--port", "8016", "--source", "10.77.0.2"},
                        "ready"));
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, sAddress("10.77.0.1")), 1);
    ASSERT_EQ(found.records.size(), 1u);
    EXPECT_EQ(found.records[0].ip_address, sAddress("10.77.0.2"));
    linkSpec *first = aDiscovery_FindFirstModule(TCPIP, sAddress("10.77.0.1"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->serial_num, 0x2222BBBBu);
    aLinkSpec_Destroy(&first);
}

TEST(TcpipDiscovery, NothingToFindEndsAfterTheTimeOutWithoutLeaks) {
    RUN_IN_PRIVATE_NETWORK(true);
    int before = sOpenDescriptors();
    Found found;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, sCollect, &found, 0), 0);
    double seconds = sSecondsSince(start);
    EXPECT_TRUE(found.records.empty());
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 3.5);
    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x1234, 0), nullptr);
    EXPECT_EQ(sOpenDescriptors(), before);
}

// --- sharing servers ---------------------------------------------------------------------

// Loopback only, and inside the namespace all the same: the query goes to a multicast group.
TEST(FabricDiscovery, LocalQueryFindsServersOnce) {
    RUN_IN_PRIVATE_NETWORK(false);
    Peer local;
    ASSERT_TRUE(local.start("fabric_peer.py",
                            {"--serial", "0x7777", "--type", "5", "--offsets", "3,4", "--repeat",
                             "2", "--port", "31001", "--model", "0x13"},
                            "ready"));
    Peer remote; // announces another host: not reported by a local search
    ASSERT_TRUE(remote.start(
        "fabric_peer.py",
        {"--serial", "0x8888", "--type", "6", "--offsets", "5", "--address", "10.1.2.3"}, "ready"));
    int before = sOpenDescriptors();
    Found found;
    uint8_t count = aDiscovery_EnumerateModules(AFABRIC, sCollect, &found, 0);
    EXPECT_EQ(count, found.records.size());
    EXPECT_EQ(sCountSerial(found, 0x7777), 1u);
    EXPECT_EQ(sCountSerial(found, 0x8888), 0u);
    const linkSpec *spec = sBySerial(found, 0x7777);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, (uint32_t)AFABRIC_USB);
    EXPECT_EQ(spec->ip_address, sAddress("127.0.0.1"));
    EXPECT_EQ(spec->ip_port, 31001u);
    EXPECT_EQ(spec->model, 0x13u);
    EXPECT_EQ(sOpenDescriptors(), before);

    // Every aFabric kind runs the same search.
    linkSpec *again = aDiscovery_FindModule(AFABRIC_SERIAL, 0x7777, htonl(INADDR_LOOPBACK));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->ip_port, 31001u);
    aLinkSpec_Destroy(&again);
}

TEST(FabricDiscovery, BeaconSearchOnAnInterface) {
    RUN_IN_PRIVATE_NETWORK(true);
    Peer server;
    ASSERT_TRUE(server.start("fabric_peer.py",
                             {"--serial", "0x5555", "--type", "6", "--address", "10.77.0.2",
                              "--port", "31002", "--beacon", "10.77.0.255"},
                             "ready"));
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();
    Found found;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aDiscovery_EnumerateModules(AFABRIC_TCPIP, sCollect, &found, sAddress("10.77.0.1")),
              1);
    EXPECT_LT(sSecondsSince(start), 4.0);
    ASSERT_EQ(found.records.size(), 1u);
    EXPECT_EQ(found.records[0].serial_num, 0x5555u);
    EXPECT_EQ(found.records[0].ip_address, sAddress("10.77.0.2"));
    EXPECT_EQ(found.records[0].ip_port, 31002u);
    // The search put the previous beacon interface back and let go of the lock.
    EXPECT_STREQ(zBeaconInterface_get(), "*");
    ASSERT_TRUE(zBeaconInterface_setAndLock(""));
    zBeaconInterface_unlock();
}
