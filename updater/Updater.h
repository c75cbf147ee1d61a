// The update engine: one object per run, one operation per command. It owns no device
// state; every operation makes and drops its own store, files and modules.
#ifndef _Updater_H_
#define _Updater_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Fingerprint.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"
#include "discover.h"

class BirdFile;
class UpdaterStore;
namespace Veltrona {
namespace Corvantis {
class Module;
}
} // namespace Veltrona

// One discovered device.
struct DeviceInfo {
    linkSpec spec{};
    uint16_t networkAddress = 0;
    uint32_t build = 0;
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    std::string deviceName;
    aErr error = aErrNone;
};

class Updater {
public:
    Updater(const char* serverUrl, const char* storageDirectory, UpdaterDisplayInterface& display);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }

    // Discovery
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_CVNetwork_Devices(unsigned routerSerial, linkType type);

    // Firmware update
    bool Update_Firmware(unsigned serial, unsigned build, std::string birdFile,
                         unsigned char moduleAddress, unsigned routerSerial, bool override);
    BirdFile load_bird(const char* action, std::string birdFile, unsigned serial, unsigned build,
                       bool download);

    // Build lists and features token
    std::map<std::string, std::string> Get_BuildList(unsigned serial);
    std::map<std::string, std::string> Get_BuildListLocal(unsigned serial);
    std::string Get_JWT(unsigned serial);

    // Download
    uint32_t Download_Firmware(unsigned serial, std::string build, bool override,
                               bool noCalibration);
    uint32_t Download_Firmware(const Fingerprint& fingerprint, std::string build, bool override);

    // Recovery
    bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                          std::string birdFile, bool override);
    bool Get_Fingerprint(Fingerprint& out, std::string port, unsigned serial, std::string birdFile,
                         unsigned baud, bool resetAfter);

    // False for an operation this build does not carry yet (its name as above, for example
    // "Discover_Devices"); main then tells the user instead of calling it.
    static bool IsAvailable(const char* operation);

private:
    std::string serverUrl;
    std::string storageDirectory;
    UpdaterDisplayInterface& display;
    uint8_t chipType = 0;
    bool ueiBytesLoad = false;
};

// Makes the store on `path`; a store that cannot be made is shown as one Error line
// naming `caller`, and the result is empty.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& path, const char* caller);

// Whether the server's build list for the device holds the build; false when the list
// cannot be had.
bool _valid_build(unsigned serial, unsigned build, const char* url);

// Steps of a firmware update, shared by the update and the recovery flows.
// Whether the image fits the connected device (serial number and model).
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image,
                        Veltrona::Corvantis::Module& module, unsigned serial);
// INIT, every loader block, LOAD.
aErr _transfer_loader(UpdaterDisplayInterface& display, Veltrona::Corvantis::Module& module,
                      BirdFile& image);
// Every firmware block (five attempts each), then REBOOT.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Veltrona::Corvantis::Module& module,
                        BirdFile& image, bool routed, bool ueiBytes);
// After LOAD, finds a device that left the USB bus: up to 15 calls of `connect` (true when
// connected), `pause` after each failed one, `renew` (a fresh USB context) before the 3rd,
// 6th, 9th, 12th and 15th. The number of the attempt that connected, 0 when none did.
unsigned _reenumerate_usb(const std::function<bool()>& connect, const std::function<void()>& renew,
                          const std::function<void()>& pause);

#endif
