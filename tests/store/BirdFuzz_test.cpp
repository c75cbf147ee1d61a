// Damaged BIRD data, many variants: the reader must stay inside its buffers. Run under the
// address sanitizer (UPDATER_SANITIZE=address) this catches any stray read or write.
#include <gtest/gtest.h>

#include <chrono>

#include "../fuzz/BirdFuzzTarget.h"
#include "BirdTestSupport.h"

namespace {

TEST(BirdFuzz, MutatedInputsStayInsideTheirBuffers) {
    using clock = std::chrono::steady_clock;
    const auto budget = std::chrono::seconds(3);
    const unsigned limit = 20000;

    // Every trace line is formatted too, as with -X.
    FILE *null = fopen("/dev/null", "w");
    Log::SetOutput(null);
    Log::ActivatePackage(DEBUG_BirdFile);
    birdfuzz::Mutator mutator(20240611);
    unsigned done = 0;
    unsigned parsedSome = 0;
    auto start = clock::now();
    {
        birdfuzz::QuietStdout quiet;
        for (; done < limit && clock::now() - start < budget; ++done) {
            std::vector<uint8_t> input =
                done % 8 == 7 ? mutator.mutate(birdfuzz::wrapFile(birdfuzz::seedBlockData(done)))
                              : mutator.next(done);
            birdfuzz::runInput(input.data(), input.size());

            BirdFile bird;
            if (bird.ScanBlocks(input.data(), input.size()) || bird.blockCount > 0)
                ++parsedSome;
        }
    }
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(DEBUG_BirdFile);
    fclose(null);
    printf("BIRD reader: %u mutated inputs\n", done);
    // The mutations must leave many inputs readable, or the run proves little.
    EXPECT_GT(done, 500u);
    EXPECT_GT(parsedSome, done / 4);
}

} // namespace
