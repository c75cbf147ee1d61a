// Fuzz driver for the BIRD reader.
//
// Without a fuzzing engine (the default): bird_fuzz [ITERATIONS] [SEED] runs that many
// mutated inputs (default 1000000) and ends with exit code 0 when none faulted; build it in a
// tree configured with -DUPDATER_SANITIZE=address so that a stray read or write stops it.
// With clang's libFuzzer (-DBIRD_LIBFUZZER, target bird_libfuzzer) each input is one
// block data buffer, read the same three ways.
#include <cstdio>
#include <cstdlib>

#include "BirdFuzzTarget.h"
#include "Log.h"

#ifdef BIRD_LIBFUZZER

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static birdfuzz::QuietStdout quiet;
    birdfuzz::runInput(data, size);
    return 0;
}

#else

int main(int argc, char *argv[]) {
    unsigned long iterations = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000000;
    unsigned long seed = argc > 2 ? strtoul(argv[2], nullptr, 10) : 1;
    // The reader's trace lines are formatted on every path, as with -X.
    FILE *null = fopen("/dev/null", "w");
    Log::SetOutput(null);
    Log::ActivatePackage(DEBUG_BirdFile);

    birdfuzz::Mutator mutator(uint32_t(seed & 0xFFFFFFFFu));
    unsigned long done = 0;
    {
        birdfuzz::QuietStdout quiet;
        for (; done < iterations; ++done) {
            std::vector<uint8_t> input;
            if (done % 8 == 7)
                input = mutator.mutate(birdfuzz::wrapFile(birdfuzz::seedBlockData(uint32_t(done))));
            else
                input = mutator.next(uint32_t(done));
            birdfuzz::runInput(input.data(), input.size());
            if (done % 100000 == 99999)
                fprintf(stderr, "bird_fuzz: %lu inputs\n", done + 1);
        }
    }
    fprintf(stderr, "bird_fuzz: %lu inputs, no fault\n", done);
    Log::SetOutput(nullptr);
    fclose(null);
    return 0;
}

#endif
