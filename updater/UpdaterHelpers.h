// Helpers the engine's operations share (discovery, update, recovery). Private to the engine.
#ifndef _UpdaterHelpers_H_
#define _UpdaterHelpers_H_

#include <cstdint>

#include "Module.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "discover.h"

// Gives a fresh Module a configuration without sharing server and without fallback, so the
// tool always talks to devices directly. A failure is shown and returned.
aErr _disableFabric(Veltrona::Corvantis::Module &module, UpdaterDisplayInterface &display);
// The firmware build of the connected module; 0 on any failure.
uint32_t _get_build_number(Veltrona::Corvantis::Module &module);
// Version, module address and router address into info; the first error ends the step.
aErr _get_version(Veltrona::Corvantis::Module &module, DeviceInfo &info);
// The name stored in the device (firmware 2.10.4 or later; older firmware keeps it empty).
aErr _get_device_name(Veltrona::Corvantis::Module &module, DeviceInfo &info);
// The transport (USB first, then TCP/IP) by which serial can be reached; 0 when none.
linkType _discover_link_type(unsigned serial);

#endif
