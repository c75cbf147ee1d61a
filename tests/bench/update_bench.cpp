// Firmware transfer speed into the module peer over TCP, three ways: data packets (26 bytes
// per round trip), UEI byte strings (one string per chunk of the device's block size) and
// UEI byte strings with pooled packets. Prints for each the time, the request/reply round
// trips the peer answered, and the time per round trip next to the peer's bare round-trip
// time (echo test) measured in the same run; then the peak memory of updating a 4 MiB image.
//
//   update_bench [IMAGE_KIB] [LARGE_IMAGE_KIB]      (defaults 256 and 4096)
//
// The time covers PREPARE, data, SUM and WRITE of every firmware block; the reboot wait
// that follows an update is not part of it.
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../common/ModulePeerProcess.h"
#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "UpdaterEntity.h"

using Veltrona::Corvantis::aFabricConfig;
using Veltrona::Corvantis::Module;
using clock_type = std::chrono::steady_clock;

namespace {

const uint32_t kSerial = 0x0BE7C400;
const uint16_t kBlockSize = 1024;
const int kEchoRounds = 2000;

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char *) override {}
    void update_spinner(bool, const char *) override {}
    void info_message(const char *) override {}
    void error_message(const char *) override {}
};

long procStatusKiB(const char *key) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    std::string format = std::string(key) + ": %ld kB";
    while (fgets(line, sizeof(line), f))
        if (sscanf(line, format.c_str(), &value) == 1)
            break;
    fclose(f);
    return value;
}

// Linux starts a new peak (VmHWM) at the current size.
void resetPeak() {
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (f) {
        fputs("5", f);
        fclose(f);
    }
}

double secondsSince(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

bool makeBird(const std::string &path, unsigned kib) {
    std::string command = "python3 '" + std::string(PEERS_DIR) + "/birdfile.py' make '" + path +
                          "' --build 1 --version 2.12.4 --serial 0BE7C400 --model AnalogScope "
                          "--firmware-random " +
                          std::to_string(kib * 1024) + "@0";
    return std::system(command.c_str()) == 0;
}

std::map<std::string, std::string> words(const std::string &answer) {
    std::map<std::string, std::string> out;
    std::istringstream in(answer);
    std::string word;
    while (in >> word) {
        auto eq = word.find('=');
        if (eq != std::string::npos)
            out[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return out;
}

// Whether the peer's flash holds the image's firmware blocks byte for byte.
bool flashMatches(ModulePeerProcess &peer, const BirdFile &image, const std::string &dump) {
    auto answer = words(peer.control("flash-dump " + dump));
    std::ifstream in(dump, std::ios::binary);
    std::string flash((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(dump.c_str());
    unsigned long base = std::strtoul(answer["base"].c_str(), nullptr, 16);
    for (const BirdBlock &block : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        size_t offset = block.address - base;
        size_t length = block.length - 4;
        if (offset + length > flash.size() ||
            flash.compare(offset, length, reinterpret_cast<const char *>(block.data + 4), length) !=
                0)
            return false;
    }
    return true;
}

// Mean time of one echo round trip in microseconds; negative when an echo fails.
double bareRoundTripUs(Module &module, int rounds) {
    uint8_t echo[26];
    for (size_t i = 0; i < sizeof echo; ++i)
        echo[i] = static_cast<uint8_t>(i * 13 + 1);
    auto start = clock_type::now();
    for (int i = 0; i < rounds; ++i)
        if (module.debug(echo, sizeof echo) != aErrNone)
            return -1;
    return secondsSince(start) * 1e6 / rounds;
}

struct Run {
    aErr err = aErrNone;
    double seconds = 0;
    long roundTrips = 0;
};

// One firmware phase without the reboot: PREPARE and the chunks of every firmware block.
Run transfer(ModulePeerProcess &peer, Module &module, const BirdFile &image, bool uei,
             bool pooled) {
    Run run;
    peer.ok("flash-clear");
    peer.ok("upgrade-mode loader");
    peer.ok(std::string("upgrade-uei ") + (uei ? "on" : "off"));
    peer.ok(std::string("upgrade-pooled ") + (pooled ? "on" : "off"));
    QuietDisplay display;
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    if (uei && entity.CheckUEIDataSupport() == aErrNone && pooled)
        entity.CheckPooledPacketsSupport();
    peer.ok("upgrade-clear");
    auto start = clock_type::now();
    for (const BirdBlock &block : image.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        uint16_t size = 0;
        run.err = entity.TransferPrepare(block.data, block.length, block.flags, size);
        if (run.err == aErrNone)
            run.err = entity.FirmwareTransfer(block.data, block.length, size, display);
        if (run.err != aErrNone)
            break;
    }
    run.seconds = secondsSince(start);
    run.roundTrips = std::atol(words(peer.control("upgrade-status"))["replies"].c_str());
    return run;
}

} // namespace

int main(int argc, char **argv) {
    const unsigned imageKiB = argc > 1 ? (unsigned)std::atoi(argv[1]) : 256;
    const unsigned largeKiB = argc > 2 ? (unsigned)std::atoi(argv[2]) : 4096;
    // Only the final failure lines of a transfer, as without -X.
    Log::SetOutput(stderr);

    char dirTemplate[] = "/tmp/updbenchXXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    const std::string small = dir + "/small.bird", large = dir + "/large.bird";
    if (!makeBird(small, imageKiB) || !makeBird(large, largeKiB)) {
        fprintf(stderr, "could not build the BIRD files\n");
        return 1;
    }

    ModulePeerProcess peer;
    ModulePeerProcess::Options options;
    options.serial = kSerial;
    if (!peer.start(options) || !peer.ok("system on") || !peer.ok("upgrade on") ||
        !peer.ok("upgrade-block-size " + std::to_string(kBlockSize))) {
        fprintf(stderr, "could not start the module peer\n");
        return 1;
    }
    Module module(2, 0);
    aFabricConfig config;
    config.enabled = false;
    config.fallback = false;
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = kSerial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = peer.tcpPort;
    if (module.setConfig(config) != aErrNone || module.connectFromSpec(spec) != aErrNone) {
        fprintf(stderr, "could not connect to the module peer\n");
        return 1;
    }

    // The peer's bare round trip on this link: an echo of 26 bytes (a full data piece) and
    // its answer, after a warm-up; measured again after the transfers.
    if (bareRoundTripUs(module, 200) < 0) {
        fprintf(stderr, "echo failed\n");
        return 1;
    }
    const double bareUs = bareRoundTripUs(module, kEchoRounds);

    BirdFile image(small);
    printf("Firmware transfer of a %u KiB image into the module peer over TCP (block size %u)\n",
           imageKiB, kBlockSize);
    printf("peer's bare round trip (26-byte echo, %d rounds): %.1f us\n\n", kEchoRounds, bareUs);
    printf("%-28s %9s %11s %12s %10s %7s\n", "way", "time [s]", "round trips", "us per trip",
           "x bare", "flash");
    struct Way {
        const char *name;
        bool uei, pooled;
    } ways[] = {{"data packets", false, false},
                {"UEI byte strings", true, false},
                {"UEI byte strings + pooled", true, true}};
    int failures = 0;
    for (const Way &way : ways) {
        Run run = transfer(peer, module, image, way.uei, way.pooled);
        bool same = run.err == aErrNone && flashMatches(peer, image, dir + "/flash.bin");
        double perTrip = run.roundTrips ? run.seconds * 1e6 / run.roundTrips : 0;
        printf("%-28s %9.3f %11ld %12.1f %10.2f %7s\n", way.name, run.seconds, run.roundTrips,
               perTrip, perTrip / bareUs, same ? "ok" : "WRONG");
        if (!same) {
            fprintf(stderr, "%s: error %d\n", way.name, (int)run.err);
            ++failures;
        }
    }

    printf("peer's bare round trip after the transfers: %.1f us\n",
           bareRoundTripUs(module, kEchoRounds));

    // Peak memory of one update of the large image: load, serial-number patch, transfer.
    const long before = procStatusKiB("VmRSS");
    resetPeak();
    Run run;
    {
        BirdFile big(large);
        big.ReplaceSerialNumber(kSerial);
        run = transfer(peer, module, big, true, true);
        if (run.err != aErrNone || !flashMatches(peer, big, dir + "/flash.bin"))
            ++failures;
    }
    const long peak = procStatusKiB("VmHWM");
    printf("\nupdate of a %u KiB image (UEI byte strings + pooled): %.3f s, %ld round trips\n",
           largeKiB, run.seconds, run.roundTrips);
    printf("resident memory before: %ld KiB, peak during the update: %ld KiB (+%ld KiB)\n", before,
           peak, peak - before);

    module.disconnect();
    peer.stop();
    std::remove(small.c_str());
    std::remove(large.c_str());
    rmdir(dir.c_str());
    return failures == 0 ? 0 : 1;
}
