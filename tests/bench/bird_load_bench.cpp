// Load time of a 4 MiB BIRD image next to zlib's own inflate of the same stream.
//
//   bird_load_bench [ROUNDS] [IMAGE_BYTES]
//
// Writes the image with the builder of tests/peers into a temporary folder, then times
// BirdFile(path) (read, inflate, scan) and a bare uncompress() of the file's stream from
// memory, and reports the peak resident memory of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>
#include <zlib.h>

#include "BirdFile.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A "Vm...: N kB" figure of /proc/self/status, in KiB, or -1.
long statusKiB(const char *key) {
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    const size_t keyLength = strlen(key);
    long value = -1;
    while (fgets(line, sizeof(line), f))
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':' &&
            sscanf(line + keyLength + 1, "%ld", &value) == 1)
            break;
    fclose(f);
    return value;
}

// Peak resident set size in KiB since the last reset.
long peakKiB() { return statusKiB("VmHWM"); }

long currentKiB() { return statusKiB("VmRSS"); }

// Starts a new peak measurement (Linux resets VmHWM to the current size).
void resetPeak() {
    FILE *f = fopen("/proc/self/clear_refs", "w");
    if (f) {
        fputs("5", f);
        fclose(f);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[]) {
    int rounds = argc > 1 ? atoi(argv[1]) : 15;
    long imageBytes = argc > 2 ? atol(argv[2]) : 4L * 1024 * 1024;
    if (rounds < 1)
        rounds = 1;

    char dirTemplate[] = "/tmp/birdbench.XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        perror("mkdtemp");
        return 1;
    }
    std::string dir = dirTemplate;
    std::string path = dir + "/bench.bird";
    std::string command = "python3 " PEERS_DIR "/birdfile.py make " + path +
                          " --build 99528558 --serial 40F5849A --loader-random 16384" +
                          " --firmware-random " + std::to_string(imageBytes) + "@0" +
                          " --serial-offsets 0x200,0x300";
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "could not build the image: %s\n", command.c_str());
        return 1;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    size_t stream = file.size() - 6;

    // BirdFile: file read, 8x buffer, inflate, scan.
    long baseline = currentKiB();
    resetPeak();
    size_t dataSize = 0;
    {
        BirdFile bird(path);
        dataSize = bird.DataSize();
    }
    long loadPeak = peakKiB() - baseline;
    // zlib alone: the same stream, from memory into a buffer of the exact size. The two are
    // timed in alternation so that a busy machine slows both alike.
    std::vector<uint8_t> out(dataSize);
    std::vector<double> load;
    std::vector<double> inflateTimes;
    long inflatePeak = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = clock_type::now();
        {
            BirdFile bird(path);
            if (bird.blockCount == 0)
                return 1;
        }
        auto t1 = clock_type::now();
        load.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());

        baseline = currentKiB();
        resetPeak();
        uLongf produced = uLongf(out.size());
        t0 = clock_type::now();
        int err = uncompress(out.data(), &produced, file.data() + 6, uLong(stream));
        t1 = clock_type::now();
        inflatePeak = std::max(inflatePeak, peakKiB() - baseline);
        if (err != Z_OK || produced != dataSize) {
            fprintf(stderr, "zlib error %d\n", err);
            return 1;
        }
        inflateTimes.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }

    double l = median(load), z = median(inflateTimes);
    printf("BIRD image: %zu bytes on disk, %zu bytes of block data (%ld bytes of firmware)\n",
           file.size(), dataSize, imageBytes);
    printf("rounds: %d (medians)\n", rounds);
    printf("BirdFile load (read+inflate+scan): %8.2f ms   min %8.2f ms\n", l,
           *std::min_element(load.begin(), load.end()));
    printf("zlib uncompress (memory only):     %8.2f ms   min %8.2f ms\n", z,
           *std::min_element(inflateTimes.begin(), inflateTimes.end()));
    printf("ratio load / zlib:                 %8.2f   (of the minima %.2f)\n", l / z,
           *std::min_element(load.begin(), load.end()) /
               *std::min_element(inflateTimes.begin(), inflateTimes.end()));
    printf(
        "peak memory of one load:           %8ld KiB above the process (buffer capacity %zu KiB)\n",
        loadPeak, stream * 8 / 1024);
    printf("peak memory of zlib inflate:       %8ld KiB above the process (output buffer "
           "preallocated)\n",
           inflatePeak);

    unlink(path.c_str());
    rmdir(dir.c_str());
    return 0;
}
