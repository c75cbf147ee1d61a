#include "CLI_Display.h"

#include <cstring>

#include <unistd.h>

namespace {
const int kBarLength = 69;
const int kClearWidth = 88;
const char kBarPattern[] = "=====================================================================";
const char *const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
} // namespace

static_assert(sizeof(kBarPattern) - 1 == kBarLength, "the bar pattern is one full bar");

CLI_Display::CLI_Display() : CLI_Display(stdout, stderr) {}

CLI_Display::CLI_Display(FILE *out, FILE *err) : out(out), err(err) {
    setvbuf(out, nullptr, _IONBF, 0);
    setvbuf(err, nullptr, _IONBF, 0);
}

bool CLI_Display::onTerminal() const {
    return isatty(fileno(out)) == 1;
}

void CLI_Display::clearLine() {
    fprintf(out, "\r%*s\r", kClearWidth, " ");
}

void CLI_Display::display_progress(bool show) {
    if (!onTerminal())
        return;
    // Starting a bar draws nothing; the first update_progress does.
    if (!show)
        clearLine();
}

void CLI_Display::update_progress(double fraction, const char *label) {
    if (!onTerminal())
        return;
    int width = kBarLength;
    if (label) {
        width = kBarLength - (int)strlen(label) - 4;
        // A label too long for the bar leaves a bar of no width rather than a broken line.
        if (width < 0)
            width = 0;
    }
    // Callers report fractions from 0 to 1; anything outside is drawn at the nearest end.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    else if (fraction > 1.0)
        fraction = 1.0;
    int filled = (int)(width * fraction);
    int percent = (int)(fraction * 100.0);
    if (label)
        fprintf(out, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarPattern, width - filled - 1,
                "", percent);
    else
        fprintf(out, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarPattern, width - filled - 1, "",
                percent);
}

void CLI_Display::update_spinner(bool active, const char *label) {
    // One frame counter for every display: the spinner keeps turning across callers.
    static unsigned char count = 0;
    if (!onTerminal())
        return;
    if (!active) {
        clearLine();
        return;
    }
    const char *frame = kSpinnerFrames[count % 8];
    if (label)
        fprintf(out, "\r (%s) %s      \r", label, frame);
    else
        fprintf(out, "\r %s      \r", frame);
    count = (unsigned char)((count + 1) % 8);
}

void CLI_Display::info_message(const char *text) {
    fprintf(out, "%s\n", text);
}

void CLI_Display::error_message(const char *text) {
    fprintf(err, "%s\n", text);
}
