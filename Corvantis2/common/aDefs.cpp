#include "aDefs.h"

namespace {
struct sModel {
    uint32_t code;
    const char *name;
};

// No name may be a prefix of another: firmware files match a model by prefix.
const sModel sModels[] = {
    {4, "HubCore4"},     {5, "HubCore8"},      {13, "RelayBank6"},  {14, "SignalBridge"},
    {15, "PowerGauge"},  {16, "IOMatrix16"},   {17, "NetRouter"},   {18, "SerialDuo"},
    {19, "AnalogScope"}, {20, "DigitalProbe"}, {21, "ThermoSense"}, {22, "SwitchPath4"},
    {23, "HubCore3C"},   {24, "LoadTamer"},    {25, "PowerSwitch"}, {26, "BusSniffer"},
    {27, "HubCore16"},
};
} // namespace

const char *aDefs_GetModelName(uint32_t model) {
    for (const sModel &entry : sModels)
        if (entry.code == model)
            return entry.name;
    return "Unknown";
}
