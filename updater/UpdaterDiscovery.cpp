// Device discovery: the devices attached by USB or TCP/IP, and those behind a router module
// on the device network.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "I2CClass.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterHelpers.h"
#include "aDefs.h"
#include "aVersion.h"

using Veltrona::Corvantis::aFabricConfig;
using Veltrona::Corvantis::I2CClass;
using Veltrona::Corvantis::Module;
using Veltrona::Corvantis::SystemClass;

namespace {

const uint8_t kModuleQuery = 0x49;
const uint8_t kModuleBuild = 0xFF;
const size_t kDeviceNameSize = 32;
// Router discovery probes every even address below this one.
const unsigned kLastNetworkAddress = 254;

// 127.0.0.1 asks discovery to search every network interface.
uint32_t sAllInterfaces() {
    return htonl(INADDR_LOOPBACK);
}

bool sCollectDevice(const linkSpec *spec, bool *accepted, void *reference) {
    auto *list = static_cast<std::vector<DeviceInfo> *>(reference);
    DeviceInfo info;
    std::memcpy(&info.spec, spec, sizeof(linkSpec));
    list->push_back(info);
    *accepted = true;
    return true;
}

struct LinkTypeSearch {
    unsigned serial;
    uint32_t transport;
    linkType found;
};

bool sMatchSerial(const linkSpec *spec, bool *accepted, void *reference) {
    auto *search = static_cast<LinkTypeSearch *>(reference);
    *accepted = true;
    if (spec->serial_num != search->serial)
        return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", search->serial,
             (int)search->transport);
    search->found = static_cast<linkType>(search->transport);
    return false;
}

} // namespace

aErr _disableFabric(Module &module, UpdaterDisplayInterface &display) {
    aFabricConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::Error, "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module &module) {
    Veltrona::Corvantis::Link *link = module.getLink();
    if (link == nullptr)
        return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t query[1] = {kModuleBuild};
    if (link->sendPacket(address, kModuleQuery, sizeof query, query) != aErrNone)
        return 0;
    const uint8_t match[2] = {kModuleQuery, kModuleBuild};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = sizeof match;
    if (link->receivePacket(address, match, &length, reply) != aErrNone || length != 6)
        return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
           static_cast<uint32_t>(reply[4]) << 8 | reply[5];
}

aErr _get_version(Module &module, DeviceInfo &info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone)
        return err;
    info.versionMajor = aVersion_ParseMajor(version);
    info.versionMinor = aVersion_ParseMinor(version);
    info.versionPatch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone)
        return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err != aErrNone)
        return err;
    info.spec.router = address;
    return aErrNone;
}

aErr _get_device_name(Module &module, DeviceInfo &info) {
    // Older firmware has no stored name. A legacy patch number may exceed a byte: it then
    // counts as 255 rather than wrapping.
    const uint8_t patch = info.versionPatch > 255 ? 255 : static_cast<uint8_t>(info.versionPatch);
    if (!aVersion_IsAtLeastCompare(info.versionMajor, info.versionMinor, patch, 2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kDeviceNameSize];
    size_t count = 0;
    aErr err = system.getName(name, sizeof name, &count);
    if (err == aErrNone)
        info.deviceName.assign(reinterpret_cast<const char *>(name), count);
    return err;
}

linkType _discover_link_type(unsigned serial) {
    for (uint32_t transport : {USB, TCPIP}) {
        LinkTypeSearch search{serial, transport, INVALID};
        aDiscovery_EnumerateModules(transport, sMatchSerial, &search, sAllInterfaces());
        if (search.found != INVALID)
            return search.found;
    }
    return INVALID;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> list;
    std::vector<uint32_t> transports;
    if (type == INVALID)
        transports = {USB, TCPIP};
    else
        transports = {static_cast<uint32_t>(type)};
    for (uint32_t transport : transports)
        aDiscovery_EnumerateModules(transport, sCollectDevice, &list, sAllInterfaces());

    for (DeviceInfo &info : list) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        Module module(2, 0);
        if (_disableFabric(module, display) != aErrNone)
            continue;
        info.error = module.connectFromSpec(info.spec);
        if (info.error == aErrNone) {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            if (info.error == aErrNone)
                info.error = _get_device_name(module, info);
        }
        module.disconnect();
    }
    return list;
}

std::vector<DeviceInfo> Updater::Discover_CVNetwork_Devices(unsigned routerSerial, linkType type) {
    std::vector<DeviceInfo> list;
    if (type == INVALID)
        type = _discover_link_type(routerSerial);
    linkSpec *found = aDiscovery_FindModule(type, routerSerial, sAllInterfaces());
    if (found == nullptr)
        return list;
    linkSpec routerSpec;
    std::memcpy(&routerSpec, found, sizeof routerSpec);
    aLinkSpec_Destroy(&found);

    Log::log(DEBUG_Updater, "Found Link Module\n");
    Module router(2, 0);
    if (_disableFabric(router, display) != aErrNone)
        return list;
    aErr err = router.connectFromSpec(routerSpec);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Error %d on connectFromSpec", (int)err);
        router.disconnect();
        return list;
    }

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(UpdaterDisplayInterface::Error, "Error %d on route to me", (int)err);
        router.disconnect();
        return list;
    }
    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(3);

    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned address = 2; address < kLastNetworkAddress; address += 2) {
        if (address == routerAddress)
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        const uint8_t probe[2] = {0, 0};
        if (i2c.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
            continue;

        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        Module module(static_cast<uint8_t>(address), false, 0);
        _disableFabric(module, display);
        if (module.connectThroughLinkModule(&router) != aErrNone)
            continue;
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

        DeviceInfo info;
        std::memcpy(info.spec.transport, routerSpec.transport, sizeof info.spec.transport);
        info.spec.type = type;
        info.spec.serial_num = serial;
        info.spec.router = routerAddress;
        info.spec.router_serial_num = routerSerial;
        info.networkAddress = static_cast<uint16_t>(address);
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        uint8_t model = 0;
        err = system.getModel(&model);
        if (err != aErrNone) {
            info.error = err;
        } else {
            info.spec.model = model;
            info.modelName = aDefs_GetModelName(model);
        }
        module.disconnect();
        list.push_back(info);
    }

    routerSystem.routeToMe(0);
    router.disconnect();
    return list;
}
