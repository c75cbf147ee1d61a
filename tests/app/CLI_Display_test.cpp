#include "CLI_Display.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// A pseudo-terminal in raw mode: the display writes to its terminal side, the test reads
// the exact bytes from the other side.
class Terminal {
public:
    Terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        if (slave < 0)
            return;
        termios tio;
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        stream = fdopen(slave, "w");
    }
    ~Terminal() {
        if (stream)
            fclose(stream);
        if (master >= 0)
            close(master);
    }
    bool ok() const { return stream != nullptr; }

    std::string read() {
        std::string text;
        pollfd p{master, POLLIN, 0};
        char buf[4096];
        while (poll(&p, 1, 50) > 0 && (p.revents & POLLIN)) {
            ssize_t n = ::read(master, buf, sizeof(buf));
            if (n <= 0)
                break;
            text.append(buf, (size_t)n);
        }
        return text;
    }

    int master = -1;
    FILE *stream = nullptr;
};

std::string sFileText(FILE *f) {
    rewind(f);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    return text;
}

class OnTerminal : public ::testing::Test {
protected:
    void SetUp() override {
        if (!term.ok())
            GTEST_SKIP() << "no pseudo-terminal available";
        err = tmpfile();
        display.reset(new CLI_Display(term.stream, err));
    }
    void TearDown() override {
        display.reset();
        if (err)
            fclose(err);
    }
    Terminal term;
    FILE *err = nullptr;
    std::unique_ptr<CLI_Display> display;
};

const std::string kClear = "\r" + std::string(88, ' ') + "\r";

TEST_F(OnTerminal, ProgressBarFormats) {
    struct {
        double fraction;
        const char *label;
        std::string expected;
    } cases[] = {
        {0.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {0.5, nullptr, "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) "},
        // A full bar: the negative filler width becomes one left-justified space.
        {1.0, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
        {0.999, nullptr, "\r[" + std::string(68, '=') + ">] ( 99% ) "},
        // With a label the bar is narrower by the label and 4.
        {0.5, "Loader",
         "\r (Loader) [" + std::string(29, '=') + ">" + std::string(29, ' ') + "] ( 50% ) "},
        // Out of range fractions are drawn at the nearest end.
        {-0.5, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {2.0, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
    };
    for (auto &c : cases) {
        display->update_progress(c.fraction, c.label);
        EXPECT_EQ(term.read(), c.expected) << c.fraction;
    }
}

TEST_F(OnTerminal, ProgressStartDrawsNothingEndClearsLine) {
    display->display_progress(true);
    EXPECT_EQ(term.read(), "");
    display->display_progress(false);
    EXPECT_EQ(term.read(), kClear);
}

TEST_F(OnTerminal, SpinnerTurnsThroughItsFrames) {
    const std::vector<std::string> frames = {".",     "..",   "...", "....",
                                             ".....", "....", "...", ".."};
    std::vector<std::string> shown;
    for (int i = 0; i < 9; ++i) {
        display->update_spinner(true, "Downloading");
        shown.push_back(term.read());
    }
    // The counter is shared process-wide; find where this run started.
    size_t start = 8;
    for (size_t k = 0; k < 8; ++k)
        if (shown[0] == "\r (Downloading) " + frames[k] + "      \r" &&
            shown[1] == "\r (Downloading) " + frames[(k + 1) % 8] + "      \r")
            start = k;
    ASSERT_LT(start, 8u) << shown[0];
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(shown[i], "\r (Downloading) " + frames[(start + i) % 8] + "      \r") << i;

    // Without a label; the counter goes on where it was.
    display->update_spinner(true, nullptr);
    EXPECT_EQ(term.read(), "\r " + frames[(start + 9) % 8] + "      \r");
    display->update_spinner(false, "Downloading");
    EXPECT_EQ(term.read(), kClear);
}

TEST_F(OnTerminal, SpinnerCounterIsSharedByAllDisplays) {
    CLI_Display other(term.stream, err);
    display->update_spinner(true, nullptr);
    std::string a = term.read();
    other.update_spinner(true, nullptr);
    std::string b = term.read();
    display->update_spinner(true, nullptr);
    std::string c = term.read();
    // Three consecutive frames of the cycle, whichever display turned it.
    const std::string cycle = "\r .      \r\r ..      \r\r ...      \r\r ....      \r"
                              "\r .....      \r\r ....      \r\r ...      \r\r ..      \r";
    EXPECT_NE((cycle + cycle).find(a + b + c), std::string::npos) << a << b << c;
}

TEST_F(OnTerminal, MessagesGoToTheirStreams) {
    display->message(UpdaterDisplayInterface::Info, "found %d", 3);
    display->message(UpdaterDisplayInterface::Error, "failed %s", "x");
    EXPECT_EQ(term.read(), "found 3\n");
    EXPECT_EQ(sFileText(err), "failed x\n");
}

TEST_F(OnTerminal, MutedShowsNoMessagesButStillProgress) {
    display->mute_messages(true);
    display->message(UpdaterDisplayInterface::Info, "hidden");
    display->message(UpdaterDisplayInterface::Error, "hidden");
    display->update_progress(0.0, nullptr);
    EXPECT_EQ(term.read(), "\r[>" + std::string(68, ' ') + "] (  0% ) ");
    EXPECT_EQ(sFileText(err), "");
    display->mute_messages(false);
    display->message(UpdaterDisplayInterface::Info, "shown");
    EXPECT_EQ(term.read(), "shown\n");
}

TEST(NotATerminal, ProgressAndSpinnerWriteNothing) {
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    {
        CLI_Display display(out, err);
        display.display_progress(true);
        display.update_progress(0.5, nullptr);
        display.update_progress(1.0, "x");
        display.display_progress(false);
        display.update_spinner(true, "Downloading");
        display.update_spinner(false, nullptr);
        display.message(UpdaterDisplayInterface::Info, "line");
    }
    EXPECT_EQ(sFileText(out), "line\n");
    EXPECT_EQ(sFileText(err), "");
    fclose(out);
    fclose(err);
}

TEST(NotATerminal, LongMessageCutTo2047Characters) {
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    CLI_Display display(out, err);
    std::string text(3000, 'a');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = (char)('a' + i % 26);
    display.message(UpdaterDisplayInterface::Error, "%s", text.c_str());
    display.message(UpdaterDisplayInterface::Info, "%s", text.c_str());
    EXPECT_EQ(sFileText(err), text.substr(0, 2047) + "\n");
    EXPECT_EQ(sFileText(out), text.substr(0, 2047) + "\n");
    fclose(out);
    fclose(err);
}

} // namespace
