#include "aError.h"

#include <gtest/gtest.h>

TEST(aError, TextsAndDescriptions) {
    struct Case {
        aErr code;
        const char *name;
        const char *description;
    };
    const Case cases[] = {
        {aErrNone, "aErrNone", "Success, no error"},
        {aErrParam, "aErrParam", "Invalid parameter"},
        {aErrOverrun, "aErrOverrun", "Buffer/queue overrun"},
        {aErrTimeout, "aErrTimeout", "Timeout occurred"},
        {aErrConnection, "aErrConnection", "Connection error"},
        {aErrShortCommand, "aErrShortCommand", "Corvantis command to short"},
        {aErrUnknown, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
        {0xFFFFFFFF, "aErrUnknown", "Unknown error"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(c.name, aError_GetErrorText(c.code)) << c.code;
        EXPECT_STREQ(c.description, aError_GetErrorDescription(c.code)) << c.code;
    }
}
