// The tool's run from parsed command line to exit code, behind main() so that it can be
// driven with any display.
#ifndef _UpdaterMain_H_
#define _UpdaterMain_H_

#include "UpdaterDisplayInterface.h"

// Parses the command line, shows the identification lines, makes the storage directory and
// runs the commands asked for in their fixed order. Returns the exit code (0 or 1).
int _updater_main(UpdaterDisplayInterface &display, int argc, char *argv[]);

#endif
