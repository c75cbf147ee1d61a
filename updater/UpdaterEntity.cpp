#include "UpdaterEntity.h"

#include <cstring>

#include "Log.h"
#include "SystemClass.h"
#include "unix_time.h"

using Veltrona::Corvantis::Link;
using Veltrona::Corvantis::Module;
using Veltrona::Corvantis::SystemClass;

namespace {

const uint32_t kAddressSize = 4;
// Bit 31 of the protocol features: the device takes several packets in one write.
const uint32_t kFeaturePooledPackets = 0x80000000u;

uint32_t sLoadAddress(const uint8_t *data) {
    return static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
           static_cast<uint32_t>(data[2]) << 8 | data[3];
}

// Empty packets answer the address query; one left over from earlier must not pass for a
// fresh answer.
bool sEmptyPacket(const aPacket *packet, void *) {
    return packet->dataSize == 0;
}

// A link in one of these states may still reach running by itself.
bool sLinkComingUp(aLinkStatus status) {
    return status == kLinkStatusStarting || status == kLinkStatusSyncing;
}

uint32_t sByteSum(const uint8_t *data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

} // namespace

UpdaterEntity::UpdaterEntity() = default;
UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module *target, uint8_t index, bool checkSums, bool viaRouter) {
    EntityClass::init(target, cmdUPGRADE, index);
    module = target;
    sumCheck = checkSums;
    routed = viaRouter;
    ueiData = false;
}

aErr UpdaterEntity::sendRequest(uint8_t sub, const uint8_t *payload, uint8_t length) {
    uint8_t bytes[aPACKET_MAXDATA - 1];
    if (length > sizeof bytes - 1)
        return aErrParam;
    bytes[0] = sub;
    if (length > 0)
        std::memcpy(&bytes[1], payload, length);
    return sendPacket(cmdUPGRADE, static_cast<uint8_t>(length + 1), bytes);
}

aErr UpdaterEntity::awaitReply(uint8_t sub, uint8_t *reply, uint8_t &replyLength) {
    const uint8_t match[2] = {cmdUPGRADE, sub};
    std::memset(reply, 0, aPACKET_MAXDATA);
    replyLength = sizeof match;
    return receivePacket(match, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = sendRequest(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    err = awaitReply(val_UPGRADE_INIT, reply, length);
    if (err != aErrNone)
        return err;
    if (length <= 5)
        return aErrPacket;
    const uint32_t base = sLoadAddress(&reply[2]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", (int)base, base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t *data, uint32_t length, uint8_t flags,
                                    uint16_t &blockSize) {
    if (data == nullptr || length < kAddressSize)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", (int)length,
             flags, (int)blockSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, data[0], data[1], data[2], data[3]);
    const uint32_t address = sLoadAddress(data);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", (int)address);

    const uint8_t payload[5] = {flags, data[0], data[1], data[2], data[3]};
    aErr err = sendRequest(val_UPGRADE_PREPARE, payload, sizeof payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    err = awaitReply(val_UPGRADE_STATUS, reply, replyLength);
    if (err != aErrNone)
        return err;
    if (replyLength < 3)
        return aErrPacket;
    if (reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    // An accepting reply without its block size cannot be used.
    if (replyLength < 5)
        return aErrPacket;
    blockSize = static_cast<uint16_t>(reply[3] << 8 | reply[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             (int)blockSize);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t *data, uint32_t length) {
    if (data == nullptr || length < kAddressSize)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
             sLoadAddress(data), (int)(length - kAddressSize));
    uint32_t count = 0;
    return _block_transfer(data + kAddressSize, length - kAddressSize, count);
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = sendRequest(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", (int)err);
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    if (awaitReply(val_UPGRADE_LOAD, reply, length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The device may already have restarted into its loader and dropped the link.
    err = _reconnect(500);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 (int)err, aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = awaitReply(val_UPGRADE_LOAD, reply, length);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", (int)err,
             aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (module == nullptr)
        return aErrResource;
    aErr err = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, aUEI_OPTION_SET);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", (int)err);
    if (err == aErrNone)
        ueiData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (module == nullptr)
        return aErrResource;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", (int)features,
             (int)err);
    if (err != aErrNone)
        return err;
    if ((features & kFeaturePooledPackets) == 0)
        return aErrNone;
    Link *link = module->getLink();
    if (link == nullptr)
        return aErrConnection;
    return link->enablePooledPackets(true);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t *data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface &display) {
    if (data == nullptr || length < kAddressSize)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             sLoadAddress(data), (int)(length - kAddressSize));
    const uint8_t *content = data + kAddressSize;
    uint32_t remaining = length - kAddressSize;
    // A device that grants no room per chunk would have the loop send nothing forever.
    if (remaining > 0 && blockSize == 0) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: block size 0 from the device, nothing can be "
                                     "sent.\n");
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
        return aErrInvalidOption;
    }

    display.display_progress(true);
    aErr err = aErrNone;
    while (remaining != 0 && err == aErrNone) {
        const uint32_t chunk = remaining < blockSize ? remaining : blockSize;
        uint32_t count = 0;
        err = _block_transfer(content, chunk, count);
        if (err != aErrNone)
            break;
        content += chunk;
        remaining -= chunk;
        display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 (int)chunk, (int)remaining, (int)length);
        err = FirmwareWrite(static_cast<uint16_t>(chunk));
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", (int)(length - remaining),
             (int)length);
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(uint16_t count) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             (int)count);
    const uint8_t payload[2] = {static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    aErr err = sendRequest(val_UPGRADE_WRITE, payload, sizeof payload);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", (int)err,
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    err = awaitReply(val_UPGRADE_STATUS, reply, length);
    if (err != aErrNone || length < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface &display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = sendRequest(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone)
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");

    // A router keeps its own link up while the device behind it restarts: one pass only.
    // A direct link that never drops is waited for only so long.
    uint32_t waited = 0;
    while (module != nullptr && module->isConnected()) {
        if (!routed && waited >= rebootWaitMs) {
            Log::log(DEBUG_Network_FIRM, "NETWORK: link still up %u ms after REBOOT\n",
                     (unsigned)waited);
            break;
        }
        aTime_MSSleep(kRebootPollMs);
        waited += kRebootPollMs;
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (routed)
            break;
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

aErr UpdaterEntity::AwaitLoader(uint32_t settleMs, uint32_t waitMs) {
    if (module == nullptr)
        return aErrResource;
    const uint64_t start = aTime_GetMSTicks();
    Log::log(DEBUG_Network_FIRM, "NETWORK: Waiting for device to restart into loader [%d ms]\n",
             (int)settleMs);
    aTime_MSSleep(settleMs);
    if (routed) {
        // Only the device behind the router restarts; what it misses meanwhile is asked again.
        Log::log(DEBUG_Network_FIRM, "NETWORK: Device behind a router, not waiting for its link\n");
        return aErrNone;
    }
    const uint64_t deadline = aTime_GetMSTicks() + waitMs;
    aErr err = aErrTimeout;
    unsigned attempt = 0;
    for (;;) {
        const aLinkStatus status = module->getStatus();
        Link *link = module->getLink();
        if (status == kLinkStatusRunning && link != nullptr) {
            aLink_DrainPackets(link->getLinkRef(), sEmptyPacket, nullptr);
            uint8_t address = 0;
            err = link->getModuleAddress(&address);
            if (err == aErrNone) {
                Log::log(DEBUG_Network_FIRM, "NETWORK: Loader answered [%d ms]\n",
                         (int)(aTime_GetMSTicks() - start));
                return aErrNone;
            }
        } else if (!sLinkComingUp(status)) {
            // A socket stream whose own reconnect was refused while the device was down stays
            // down, and a USB device that left the bus comes back as a new device: both need
            // a new link.
            ++attempt;
            Log::log(DEBUG_Network, "NETWORK: Link down [%d], reconnecting. Attempt: %d\n",
                     (int)status, (int)attempt);
            module->disconnect();
            err = module->reconnect();
            if (err == aErrNone) {
                Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
                Log::log(DEBUG_Network_FIRM, "NETWORK: Loader answered [%d ms]\n",
                         (int)(aTime_GetMSTicks() - start));
                return aErrNone;
            }
            // A link that came up but failed auto-networking must not block the next attempt.
            module->disconnect();
        }
        if (aTime_GetMSTicks() >= deadline)
            break;
        aTime_MSSleep(kLoaderPollMs);
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader did not answer within %d ms [%d, %s]\n",
             (int)waitMs, (int)err, aError_GetErrorText(err));
    return err;
}

aErr UpdaterEntity::_reconnect(uint32_t delay) {
    if (module == nullptr)
        return aErrResource;
    module->disconnect();
    aErr err = aErrConnection;
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 (int)attempt, (int)kReconnectAttempts);
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 (int)delay);
        // A link that came up but failed auto-networking must not block the next attempt.
        module->disconnect();
        aTime_MSSleep(delay);
    }
    // The loader may come up under the default serial number.
    for (unsigned attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                 (int)attempt, (int)kReconnectAttempts);
        err = module->connect(USB, kDefaultSerial);
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 (int)delay);
        module->disconnect();
        aTime_MSSleep(delay);
    }
    return err;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t *data, uint32_t length,
                                               uint32_t &count, uint32_t &sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", (int)length);
    uei record{};
    record.type = kUEITypeBytes;
    // Sending only reads the bytes.
    record.v.bytes.data = const_cast<uint8_t *>(data);
    record.v.bytes.length = length;
    aErr err = setUEI(val_UPGRADE_DATA_UEI, &record);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", (int)err);
        return err;
    }
    sum = sByteSum(data, length);
    count = 1;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", (int)length);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t *data, uint32_t length, uint32_t &count) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    if (data == nullptr && length > 0)
        return aErrParam;
    uint32_t sum = 0;
    uint32_t sent = 0;
    aErr err = aErrNone;
    if (ueiData) {
        err = _block_transfer_uei_helper(data, length, count, sum);
        if (err == aErrNone)
            sent = length;
    } else {
        unsigned tries = 0;
        while (sent < length && err == aErrNone) {
            const uint32_t left = length - sent;
            const uint8_t piece =
                static_cast<uint8_t>(left < kDataPieceSize ? left : kDataPieceSize);
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", (int)piece);
            err = sendRequest(val_UPGRADE_DATA, data + sent, piece);
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                         (int)err);
                return err;
            }
            ++tries;
            uint8_t reply[aPACKET_MAXDATA];
            uint8_t replyLength = 0;
            if (awaitReply(val_UPGRADE_DATA, reply, replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const int accepted = replyLength >= 3 ? reply[2] : -1;
            if (accepted != piece) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                         (int)piece);
                // The same piece goes again, but not without end.
                if (tries >= kDataPieceTries) {
                    Log::log(DEBUG_Network_FIRM, "\nNETWORK: piece refused %u times, giving up.\n",
                             tries);
                    err = aErrPacket;
                }
                continue;
            }
            tries = 0;
            sum += sByteSum(data + sent, piece);
            sent += piece;
            ++count;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     (int)piece, (int)(length - sent), (int)length);
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", (int)sent, (int)length);
    if (err != aErrNone || !sumCheck)
        return err;

    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    sendRequest(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    if (awaitReply(val_UPGRADE_STATUS, reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = replyLength >= 3 ? reply[2] : 0xFF;
    const uint32_t deviceSum = replyLength >= 7 ? sLoadAddress(&reply[3]) : 0;
    if (replyLength >= 7 && status == 0 && deviceSum == sum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 deviceSum, (int)count);
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             deviceSum);
    return aErrInvalidOption;
}
