// -C: checks a BIRD firmware file and reports what it holds.
#ifndef _CheckBird_H_
#define _CheckBird_H_

#include <string>

#include "UpdaterDisplayInterface.h"

// Returns the exit code of the command.
int _check_bird_file(UpdaterDisplayInterface &display, const std::string &path);

#endif
