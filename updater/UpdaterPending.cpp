// Operations that this build does not carry yet. Each one is removed from here when its
// real implementation lands; main asks IsAvailable before calling any of them.
#include <cstring>

#include "Updater.h"

namespace {
const char* const sPending[] = {
    "Recover_Firmware",
    "Get_Fingerprint",
};
} // namespace

bool Updater::IsAvailable(const char* operation) {
    for (const char* name : sPending)
        if (std::strcmp(name, operation) == 0)
            return false;
    return true;
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    return false;
}
bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    return false;
}
