#include "CSimpleOpt.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

const CSimpleOpt::SOption kTable[] = {
    {1, "-B", SO_NONE},     {1, "-OVERRIDE", SO_NONE}, {1, "-Y", SO_NONE},
    {0, "-h", SO_NONE},     {2, "-X", SO_REQ},         {2, "-b", SO_REQ},
    {2, "-d", SO_REQ},      {2, "-e", SO_NONE},        {2, "-u", SO_REQ},
    {0, "--help", SO_NONE}, {4, "--http", SO_NONE},    {3, "--https", SO_NONE},
    {-1, nullptr, SO_NONE},
};

struct Step {
    int error;
    int id;           // checked when error is 0
    std::string text; // the row text on success, the typed text on failure
    std::string arg;  // "<none>" for no argument
};

struct Case {
    std::vector<std::string> words; // after the program name
    std::vector<Step> steps;
    std::vector<std::string> finalOrder; // argv after the scan, without the program name
};

// Names the case by its words in test listings.
void PrintTo(const Case &c, std::ostream *os) {
    for (const auto &w : c.words)
        *os << "[" << w.substr(0, 20) << "]";
}

std::vector<Step> sScan(std::vector<std::string> words, std::vector<std::string> &order) {
    std::vector<std::string> storage = {"prog"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &w : storage)
        argv.push_back(&w[0]);
    CSimpleOpt scanner((int)argv.size(), argv.data(), kTable);
    std::vector<Step> steps;
    while (scanner.Next()) {
        Step s{scanner.LastError(), scanner.LastError() == SO_SUCCESS ? scanner.OptionId() : -1,
               scanner.OptionText() ? scanner.OptionText() : "<null>",
               scanner.OptionArg() ? scanner.OptionArg() : "<none>"};
        steps.push_back(s);
    }
    order.assign(argv.begin() + 1, argv.end());
    return steps;
}

class ScannerTable : public ::testing::TestWithParam<Case> {};

TEST_P(ScannerTable, StepsAndOrder) {
    const Case &c = GetParam();
    std::vector<std::string> order;
    std::vector<Step> steps = sScan(c.words, order);
    ASSERT_EQ(steps.size(), c.steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        EXPECT_EQ(steps[i].error, c.steps[i].error);
        if (c.steps[i].error == SO_SUCCESS) {
            EXPECT_EQ(steps[i].id, c.steps[i].id);
        }
        EXPECT_EQ(steps[i].text, c.steps[i].text);
        EXPECT_EQ(steps[i].arg, c.steps[i].arg);
    }
    if (!c.finalOrder.empty()) {
        EXPECT_EQ(order, c.finalOrder);
    }
}

const std::string N = "<none>";

INSTANTIATE_TEST_SUITE_P(
    Rules, ScannerTable,
    ::testing::Values(
        // Exact match; the row text is reported.
        Case{{"-B"}, {{SO_SUCCESS, 1, "-B", N}}, {}},
        // Unique abbreviations name the row, not what was typed.
        Case{{"-OVER"}, {{SO_SUCCESS, 1, "-OVERRIDE", N}}, {}},
        Case{{"-O"}, {{SO_SUCCESS, 1, "-OVERRIDE", N}}, {}},
        Case{{"--he"}, {{SO_SUCCESS, 0, "--help", N}}, {}},
        // Exact match wins over being a prefix of a longer row.
        Case{{"--http"}, {{SO_SUCCESS, 4, "--http", N}}, {}},
        Case{{"--https"}, {{SO_SUCCESS, 3, "--https", N}}, {}},
        // A prefix of several rows is ambiguous.
        Case{{"--ht"}, {{SO_OPT_MULTIPLE, -1, "--ht", N}}, {}},
        Case{{"--h"}, {{SO_OPT_MULTIPLE, -1, "--h", N}}, {}},
        // The number of hyphens must agree; matching is case-sensitive.
        Case{{"-help"}, {{SO_OPT_INVALID, -1, "-help", N}}, {}},
        Case{{"--B"}, {{SO_OPT_INVALID, -1, "--B", N}}, {}},
        Case{{"-over"}, {{SO_OPT_INVALID, -1, "-over", N}}, {}},
        Case{{"-"}, {{SO_OPT_INVALID, -1, "-", N}}, {}},
        Case{{"--"}, {{SO_OPT_INVALID, -1, "--", N}}, {}},
        // Short options are never combined with their value.
        Case{{"-b5"}, {{SO_OPT_INVALID, -1, "-b5", N}}, {}},
        // "=" splits the option from its argument.
        Case{{"-d=40F5849A"}, {{SO_SUCCESS, 2, "-d", "40F5849A"}}, {}},
        Case{{"-d="}, {{SO_SUCCESS, 2, "-d", ""}}, {}},
        Case{{"-B=1"}, {{SO_ARG_INVALID, 1, "-B", N}}, {}},
        Case{{"--he=x"}, {{SO_ARG_INVALID, 0, "--help", N}}, {}},
        // The argument is the next word...
        Case{{"-d", "40F5849A", "-B"},
             {{SO_SUCCESS, 2, "-d", "40F5849A"}, {SO_SUCCESS, 1, "-B", N}},
             {"-d", "40F5849A", "-B"}},
        // ...unless it is missing or an option itself, which is then scanned.
        Case{{"-d"}, {{SO_ARG_MISSING, 2, "-d", N}}, {}},
        Case{{"-d", "-B"}, {{SO_ARG_MISSING, 2, "-d", N}, {SO_SUCCESS, 1, "-B", N}}, {}},
        // Non-option words are skipped silently and moved behind the options, in order.
        Case{{"stray", "-B", "other", "-e"},
             {{SO_SUCCESS, 1, "-B", N}, {SO_SUCCESS, 2, "-e", N}},
             {"-B", "-e", "stray", "other"}},
        Case{{"a", "b", "c"}, {}, {"a", "b", "c"}},
        Case{{"-X", "0x41", "word", "-u", "http://x"},
             {{SO_SUCCESS, 2, "-X", "0x41"}, {SO_SUCCESS, 2, "-u", "http://x"}},
             {"-X", "0x41", "-u", "http://x", "word"}},
        // An error does not stop the scan.
        Case{{"-Q", "-Y"}, {{SO_OPT_INVALID, -1, "-Q", N}, {SO_SUCCESS, 1, "-Y", N}}, {}}));

TEST(Scanner, VeryLongOptionIsRejectedNotTruncatedIntoAMatch) {
    std::string longWord = "-OVERRIDE" + std::string(400, 'E');
    std::vector<std::string> order;
    std::vector<Step> steps = sScan({longWord, "-B"}, order);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].error, SO_OPT_INVALID);
    EXPECT_EQ(steps[1].error, SO_SUCCESS);
    EXPECT_EQ(steps[1].text, "-B");
}

} // namespace
