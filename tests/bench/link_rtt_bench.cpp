// Round trips per second of a 4-byte request and its echoed reply over TCP to the module peer:
// once through a link of the link engine, once over a bare socket, in the same run; and the
// processor time an idle running link costs; then the same over a COBS-framed pseudo-terminal.
//   link_rtt_bench [seconds per measurement, default 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

#include "../common/ModulePeerProcess.h"
#include "aLink.h"

namespace {

using Clock = std::chrono::steady_clock;
const uint8_t kModule = 6;

struct Tag {
    uint8_t value;
};

bool sIsReply(const aPacket* p, void* reference) {
    return p->dataSize == 2 && p->data[0] == 0x17 &&
           p->data[1] == static_cast<const Tag*>(reference)->value;
}

// Round trips per second through the link, or a negative number on a lost reply.
double sLinkRate(aLinkRef link, double seconds) {
    long trips = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        Tag tag{static_cast<uint8_t>(trips)};
        uint8_t data[2] = {0x17, tag.value};
        aPacket* request = aPacket_CreateWithData(kModule, 2, data);
        aLink_PutPacket(link, request);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(link, sIsReply, &tag, 1000);
        if (reply == nullptr)
            return -1;
        aPacket_Destroy(&reply);
        ++trips;
    }
    return trips / std::chrono::duration<double>(Clock::now() - start).count();
}

// Median round trip in microseconds of exchanges made after the link sat idle for 20 ms each.
double sLatencyAfterIdle(aLinkRef link) {
    std::vector<double> samples;
    for (int i = 0; i < 25; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Tag tag{static_cast<uint8_t>(0x80 + i)};
        uint8_t data[2] = {0x17, tag.value};
        aPacket* request = aPacket_CreateWithData(kModule, 2, data);
        const auto start = Clock::now();
        aLink_PutPacket(link, request);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(link, sIsReply, &tag, 1000);
        if (reply == nullptr)
            return -1;
        aPacket_Destroy(&reply);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

double sSocketRate(uint16_t port, double seconds) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    long trips = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        uint8_t request[4] = {kModule, 2, 0x17, static_cast<uint8_t>(trips)};
        if (send(fd, request, sizeof request, MSG_NOSIGNAL) != 4)
            break;
        uint8_t reply[4];
        size_t got = 0;
        while (got < sizeof reply) {
            ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
            if (n <= 0) {
                close(fd);
                return -1;
            }
            got += static_cast<size_t>(n);
        }
        ++trips;
    }
    close(fd);
    return trips / std::chrono::duration<double>(Clock::now() - start).count();
}

double sProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Processor time of this process per second of wall time while the link sits idle.
double sIdleCpuShare(double seconds) {
    const double cpuStart = sProcessCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return (sProcessCpuSeconds() - cpuStart) / wall;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 3.0;
    ModulePeerProcess peer;
    ModulePeerProcess::Options options;
    options.echo = true;
    options.address = kModule;
    if (!peer.start(options)) {
        fprintf(stderr, "the module peer did not start\n");
        return 1;
    }
    aLinkRef link = aLink_CreateTCPIP(options.serial, htonl(INADDR_LOOPBACK), peer.tcpPort);
    if (link == 0) {
        fprintf(stderr, "no link to the peer\n");
        return 1;
    }
    sLinkRate(link, 0.2); // warm up
    const double linkRate = sLinkRate(link, seconds);
    const double idleShare = sIdleCpuShare(seconds);
    const double idleLatency = sLatencyAfterIdle(link);
    aLink_Destroy(&link);
    sSocketRate(peer.tcpPort, 0.2);
    const double socketRate = sSocketRate(peer.tcpPort, seconds);
    if (linkRate <= 0 || socketRate <= 0) {
        fprintf(stderr, "a reply was lost (link %.0f, socket %.0f)\n", linkRate, socketRate);
        return 1;
    }
    printf("4-byte request/reply over TCP to the module peer, %.1f s each\n", seconds);
    printf("  link engine:  %8.0f round trips/s (%.1f us each)\n", linkRate, 1e6 / linkRate);
    printf("  bare socket:  %8.0f round trips/s (%.1f us each)\n", socketRate, 1e6 / socketRate);
    printf("  link / socket: %.2f\n", linkRate / socketRate);
    printf("  idle link:    %8.1f %% of one processor\n", idleShare * 100);
    printf("  after idle:   %8.0f us round trip (median of 25)\n", idleLatency);

    // The same exchange over a COBS-framed pseudo-terminal (a serial link at 230400 baud).
    ModulePeerProcess serialPeer;
    options.tcp = false;
    options.pty = true;
    options.serial += 1;
    if (!serialPeer.start(options)) {
        fprintf(stderr, "the serial module peer did not start\n");
        return 1;
    }
    link = aLink_CreateSerial(options.serial, serialPeer.ptyPath.c_str(), 230400);
    if (link == 0) {
        fprintf(stderr, "no serial link to the peer\n");
        return 1;
    }
    sLinkRate(link, 0.2);
    const double serialRate = sLinkRate(link, seconds);
    const double serialIdle = sIdleCpuShare(seconds);
    const double serialIdleLatency = sLatencyAfterIdle(link);
    aLink_Destroy(&link);
    if (serialRate <= 0) {
        fprintf(stderr, "a reply was lost on the serial link\n");
        return 1;
    }
    printf("  serial link:  %8.0f round trips/s (%.1f us each)\n", serialRate, 1e6 / serialRate);
    printf("  idle serial:  %8.1f %% of one processor\n", serialIdle * 100);
    printf("  after idle:   %8.0f us round trip (median of 25)\n", serialIdleLatency);
    return 0;
}
