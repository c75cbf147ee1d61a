// -I: shows what the local store knows about one device.
#ifndef _DeviceInfoCommand_H_
#define _DeviceInfoCommand_H_

#include <string>

#include "UpdaterDisplayInterface.h"

// Returns the exit code of the command.
int _show_device_info(UpdaterDisplayInterface &display, const std::string &storageDirectory,
                      unsigned serial);

#endif
