// -U: writes a firmware build into a running device. Chooses and loads the image, patches
// the device's serial number into it, connects directly or through a router module, checks
// image against device, sends loader and firmware with the upgrade exchange and records the
// transfer in the device's settings.
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Corvantis_libusb_context.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterHelpers.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "unix_time.h"

using Veltrona::Corvantis::Module;
using Veltrona::Corvantis::SystemClass;
using Level = UpdaterDisplayInterface::Level;

namespace {

const unsigned kEnumerationAttempts = 15;
const unsigned kEnumerationRefresh = 3;
const uint32_t kEnumerationPauseMs = 1000;
const unsigned kFirmwareBlockAttempts = 5;
// The wait for a device to come back before a PREPARE is asked again.
const uint32_t kPrepareWaitMs = 2000;

// The server's build text as a number; 0 (with the log line) when it is not one.
unsigned sBuildFromText(const std::string &text) {
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    unsigned long long value = 0;
    if (digits) {
        errno = 0;
        value = strtoull(text.c_str(), nullptr, 10);
    }
    if (!digits || errno == ERANGE || value > 0xFFFFFFFFull) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return static_cast<unsigned>(value);
}

// A build number kept in the settings ("99528558.bird" reads as 99528558).
unsigned sSettingsBuild(UpdaterStoreItem &item, const char *key) {
    int value = item.settings.GetInt(key, 0);
    return value > 0 ? static_cast<unsigned>(value) : 0;
}

// Whether the store holds a loadable file of the build for this item. An item that was not
// found names no folder, so nothing is read anywhere else.
bool sStoreHasBuild(const UpdaterStoreItem &item, unsigned build) {
    if (!item.IsValid())
        return false;
    try {
        item.ReadBirdFile(std::to_string(build) + ".bird");
        return true;
    } catch (const std::runtime_error &) {
        return false;
    }
}

// USB first, TCP/IP when no USB device has the serial number.
aErr sConnect(Module &module, unsigned serial) {
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound)
        err = module.connect(TCPIP, serial);
    return err;
}

} // namespace

bool _validate_birdfile(UpdaterDisplayInterface &display, BirdFile &image, Module &module,
                        unsigned serial) {
    if (image.blockCount == 0)
        return false;
    if (!image.hasSerialNumberBlock && !image.ValidateSerialNumber(serial))
        return false;

    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t deviceSerial = 0;
    aErr err = system.getSerialNumber(&deviceSerial);
    if (err != aErrNone || deviceSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 (int)err);
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char *name = aDefs_GetModelName(model);
    if (err != aErrNone || !image.ValidateModel(name)) {
        display.message(Level::Error,
                        "Connected device model and Bird file model do not match [%s] (%d)", name,
                        (int)err);
        return false;
    }
    return true;
}

unsigned _reenumerate_usb(const std::function<bool()> &connect, const std::function<void()> &renew,
                          const std::function<void()> &pause) {
    for (unsigned attempt = 0; attempt < kEnumerationAttempts; ++attempt) {
        if ((attempt + 1) % kEnumerationRefresh == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            renew();
        }
        if (connect())
            return attempt + 1;
        pause();
    }
    return 0;
}

aErr _transfer_loader(UpdaterDisplayInterface &display, Module &module, BirdFile &image) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", (int)err,
                 aError_GetErrorText(err));
        return err;
    }

    display.message(Level::Info, "Transferring loader to device");
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int transferred = 0;
    int total = 0;
    // A loader with a block that did not arrive intact must not be started.
    aErr failed = aErrNone;
    for (const BirdBlock &block : blocks) {
        display.message(Level::Info, "Transferring loader block %d of %d, %d bytes",
                        transferred + 1, (int)blocks.size(), (int)block.length);
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", (int)err,
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", (int)err,
                     aError_GetErrorText(err));
            if (failed == aErrNone)
                failed = err;
            continue;
        }
        total += (int)block.length;
        ++transferred;
    }
    display.message(Level::Info, "Transferred %d blocks, %d total bytes", transferred, total);
    display.display_progress(false);

    if (err == aErrNone && failed != aErrNone)
        err = failed;
    if (err == aErrNone) {
        display.message(Level::Info, "Starting Load on Device");
        err = entity.LoaderStart();
        if (err == aErrTimeout) {
            Log::log(DEBUG_Updater,
                     "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(Level::Error, "Error starting loader [%d, %s]", (int)err,
                            aError_GetErrorText(err));
        }
    }
    if (err == aErrNone) {
        // The device restarts into its loader right after LOAD; the firmware must not be
        // offered to it before it is back.
        Log::log(DEBUG_Updater, "Waiting for device to restart into loader.\n");
        aErr back =
            entity.AwaitLoader(UpdaterEntity::kLoaderSettleMs, UpdaterEntity::kLoaderWaitMs);
        if (back != aErrNone)
            Log::log(DEBUG_Updater, "Device not back after loader start [%d, %s].\n", (int)back,
                     aError_GetErrorText(back));
    }
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface &display, Module &module, BirdFile &image,
                        bool routed, bool ueiBytes) {
    UpdaterEntity entity;
    entity.init(&module, 0, true, routed);
    if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone)
        entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.Path().c_str());
    std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    int transferred = 0;
    int total = 0;
    unsigned number = 0;
    for (const BirdBlock &block : blocks) {
        ++number;
        for (unsigned attempt = 0; attempt < kFirmwareBlockAttempts; ++attempt) {
            display.message(Level::Info, "Transferring firmware block %u of %u, %d bytes", number,
                            (unsigned)blocks.size(), (int)block.length);
            if (attempt > 0)
                display.message(Level::Info, "  Retry %d", (int)attempt);
            uint16_t blockSize = 0;
            err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", (int)err,
                         aError_GetErrorText(err));
                // Before the first block went in, a PREPARE without an answer most likely met
                // the device still restarting into its loader (a device behind a router is out
                // of reach meanwhile): ask again once it is back.
                if (transferred == 0 && (err == aErrTimeout || err == aErrConnection) &&
                    attempt + 1 < kFirmwareBlockAttempts) {
                    Log::log(DEBUG_Updater, "Waiting for device before retrying.\n");
                    entity.AwaitLoader(0, kPrepareWaitMs);
                    continue;
                }
                break;
            }
            err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", (int)err,
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += (int)block.length;
        ++transferred;
    }
    display.message(Level::Info, "Transferred %d blocks, %d total bytes", transferred, total);
    if (err == aErrNone)
        err = entity.LoaderReboot(display);
    return err;
}

BirdFile Updater::load_bird(const char *action, std::string birdFile, unsigned serial,
                            unsigned build, bool download) {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDirectory, "load_bird");
    if (!store)
        return BirdFile();
    if (!birdFile.empty()) {
        display.message(Level::Info, "%s from Birdfile: %s", action, birdFile.c_str());
        return BirdFile(birdFile);
    }
    UpdaterStoreItem item;
    try {
        item = store->AddDevice(serial);
    } catch (const std::runtime_error &) {
        throw std::runtime_error("Error reading birdfile");
    }
    display.message(Level::Info, "%s firmware with build: %u", action, build);
    const std::string fileName = std::to_string(build) + ".bird";
    try {
        return item.ReadBirdFile(fileName);
    } catch (const std::runtime_error &) {
        if (!download)
            throw std::runtime_error("Error reading birdfile");
    }
    display.message(Level::Info, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadBirdFile(fileName);
}

bool Updater::Update_Firmware(unsigned serial, unsigned build, std::string birdFile,
                              unsigned char moduleAddress, unsigned routerSerial, bool override) {
    if (serial == 0) {
        display.message(Level::Error, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDirectory, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);
    const uint64_t start = aTime_GetMSTicks();

    if (birdFile.empty()) {
        if (build == 0) {
            std::string latest, firmware;
            UpdateServerRequest::QueryBuild(serial, latest, firmware, serverUrl.c_str());
            build = sBuildFromText(latest);
            if (build != 0 && !sStoreHasBuild(item, build)) {
                build = 0;
                display.message(Level::Info, "New firmware is available.  Updater will proceed "
                                             "if valid firmware is found locally.");
            }
        }
        if (build == 0) {
            build = sSettingsBuild(item, "LATEST_DOWNLOAD");
            if (build != 0)
                display.message(Level::Info, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = sSettingsBuild(item, "LATEST_TRANSFER");
            if (build != 0)
                display.message(Level::Info, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display.message(Level::Error, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile image;
    try {
        image = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::runtime_error &) {
        display.message(Level::Error, "Failed to load bird file");
        return false;
    }

    if (image.hasSerialNumberBlock) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!image.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, 0);
    aErr err = _disableFabric(target, display);
    if (err == aErrNone && routerSerial != 0) {
        if (moduleAddress == 0) {
            std::vector<DeviceInfo> devices = Discover_CVNetwork_Devices(routerSerial, INVALID);
            if (devices.empty()) {
                display.message(Level::Error, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo &info : devices)
                if (info.spec.serial_num == serial)
                    address = info.networkAddress;
            if (address == 0) {
                display.message(Level::Error,
                                "Module address required for indirect firmware update, could "
                                "not find serial number [0x%08X] on network",
                                serial);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(address));
        }
        // The router object only lends its link: the target keeps it open after this scope.
        Module router(0, 0);
        err = _disableFabric(router, display);
        if (err == aErrNone) {
            if (sConnect(router, routerSerial) != aErrNone) {
                display.message(Level::Error, "Failed to connect to link module [%08X]",
                                routerSerial);
                return false;
            }
            err = target.connectThroughLinkModule(&router);
            if (err != aErrNone)
                display.message(Level::Error, "Failed to connect to module [%08X]", serial);
        }
    } else if (err == aErrNone) {
        err = sConnect(target, serial);
        if (err != aErrNone)
            display.message(Level::Error, "Failed to connect to module [%08X]", serial);
    }

    if (err == aErrNone && !override && !_validate_birdfile(display, image, target, serial)) {
        display.message(Level::Error, "Birdfile failed validation");
        return false;
    }
    if (err == aErrNone)
        err = _transfer_loader(display, target, image);

    if (err == aErrNone && !target.isConnected()) {
        // The device restarted into its loader and left the USB bus; it comes back there.
        target.disconnect();
        // Whether it came back shows in the next step, which needs a connected device.
        _reenumerate_usb(
            [&] {
                if (target.discoverAndConnect(USB, serial) == aErrNone && target.isConnected())
                    return true;
                target.disconnect();
                return false;
            },
            [] { Corvantis_libusb_exit(); }, [] { aTime_MSSleep(kEnumerationPauseMs); });
    }

    if (err == aErrNone)
        err = _transfer_firmware(display, target, image, routerSerial != 0, ueiBytesLoad);
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", (int)err);
        return false;
    }

    if (birdFile.empty())
        birdFile = std::to_string(build) + ".bird";
    // A device the store did not know yet gets its folder now, so that its settings are
    // kept with it rather than in the working directory.
    if (!item.IsValid()) {
        try {
            item = store->AddDevice(serial);
        } catch (const std::runtime_error &e) {
            Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", e.what());
        }
    }
    if (item.IsValid()) {
        item.settings.Add("LATEST_TRANSFER", birdFile);
        item.settings.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeText());
        aErr saved = item.settings.Save();
        if (saved != aErrNone)
            Log::log(DEBUG_Updater, "Could not save the settings (%d)\n", (int)saved);
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(Level::Info, "Update time: %.4f sec",
                    (double)(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
