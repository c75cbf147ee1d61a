// The fixed text forms of results: the identification lines shown at every start, the
// device table, build lists, fingerprints and feature tokens. All lines are Info messages.
#ifndef _Listings_H_
#define _Listings_H_

#include <map>
#include <string>
#include <vector>

#include "Fingerprint.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"

// "Updater (Version: 2.12.4 <build date>)"
void _display_app_version(UpdaterDisplayInterface &display);
void _display_copyright(UpdaterDisplayInterface &display);
// `type` is the transport the search used: 1 USB, 2 TCP/IP, anything else "Unknown".
void _display_device_list(UpdaterDisplayInterface &display, const std::vector<DeviceInfo> &list,
                          int type);
void _display_builds(UpdaterDisplayInterface &display,
                     const std::map<std::string, std::string> &builds, unsigned serial);
void _display_fingerprint(UpdaterDisplayInterface &display, const Fingerprint &fingerprint);
void _display_jwt(UpdaterDisplayInterface &display, const std::string &token);

#endif
