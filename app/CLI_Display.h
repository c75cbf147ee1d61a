// The console form of the display: messages on the standard streams, the progress bar
// and the spinner drawn in place on one terminal line.
#ifndef _CLI_Display_H_
#define _CLI_Display_H_

#include <cstdio>

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Writes to the standard output and error streams and makes both unbuffered.
    CLI_Display();
    // Writes to the given streams instead (tests); they are made unbuffered as well.
    CLI_Display(FILE *out, FILE *err);

    void display_progress(bool show) override;
    void update_progress(double fraction, const char *label) override;
    void update_spinner(bool active, const char *label) override;
    void info_message(const char *text) override;
    void error_message(const char *text) override;

private:
    // Progress output is drawn only on a terminal, so redirected output holds only messages.
    bool onTerminal() const;
    void clearLine();

    FILE *out;
    FILE *err;
};

#endif
