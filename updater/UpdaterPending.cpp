// Operations that this build does not carry yet. Each one is removed from here when its
// real implementation lands; main asks IsAvailable before calling any of them.
#include <cstring>

#include "Updater.h"

namespace {
const char* const sPending[] = {
    "Discover_Devices", "Discover_CVNetwork_Devices", "Update_Firmware", "Get_BuildList",
    "Get_BuildListLocal", "Get_JWT", "Download_Firmware", "Recover_Firmware", "Get_Fingerprint",
};
} // namespace

bool Updater::IsAvailable(const char* operation) {
    for (const char* name : sPending)
        if (std::strcmp(name, operation) == 0)
            return false;
    return true;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) { return {}; }
std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(unsigned, linkType) { return {}; }
bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) {
    return false;
}
std::map<std::string, std::string> Updater::Get_BuildList(unsigned) { return {}; }
std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned) { return {}; }
std::string Updater::Get_JWT(unsigned) { return {}; }
uint32_t Updater::Download_Firmware(unsigned, std::string, bool, bool) { return 0; }
uint32_t Updater::Download_Firmware(const Fingerprint&, std::string, bool) { return 0; }
bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    return false;
}
bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    return false;
}
