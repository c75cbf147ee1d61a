// Entry point of the Updater tool.
#include <cstdio>

#include "CLI_Display.h"
#include "Log.h"
#include "UpdaterMain.h"

int main(int argc, char *argv[]) {
    CLI_Display display; // makes both standard streams unbuffered
    Log::SetOutput(stderr);
    return _updater_main(display, argc, argv);
}
