#include "aDefs.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

TEST(aDefs, ModelNames) {
    const uint32_t named[] = {4, 5, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27};
    std::set<std::string> names;
    for (uint32_t code : named) {
        std::string name = aDefs_GetModelName(code);
        EXPECT_NE("Unknown", name) << code;
        EXPECT_FALSE(name.empty()) << code;
        // Device tables give the model a 12-character column; firmware files keep 16.
        EXPECT_LE(name.size(), 12u) << name;
        names.insert(name);
    }
    EXPECT_EQ(17u, names.size());
    // Firmware files match a model by prefix, so no name may start another.
    for (const std::string &a : names) {
        for (const std::string &b : names) {
            if (a != b) {
                EXPECT_NE(0u, b.rfind(a, 0)) << a << " is a prefix of " << b;
            }
        }
    }

    for (uint32_t code : {0u, 1u, 2u, 3u, 6u, 7u, 12u, 28u, 255u, 256u, 0x104u})
        EXPECT_STREQ("Unknown", aDefs_GetModelName(code)) << code;
}
