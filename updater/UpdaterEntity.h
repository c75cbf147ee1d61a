// The upgrade entity of a device (command 0x5F): each operation is one step of the firmware
// upgrade exchange (a sub-command and its reply, or one data transfer) with the checks,
// retries and reconnections that belong to that step. The order of the steps over a whole
// BIRD file belongs to the update flow.
#ifndef _UpdaterEntity_H_
#define _UpdaterEntity_H_

#include <cstddef>
#include <cstdint>

#include "Entity.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

#define cmdUPGRADE 0x5F

// Sub-commands of the upgrade entity (first payload byte after the command byte).
#define val_UPGRADE_INIT 0
#define val_UPGRADE_DATA 1
#define val_UPGRADE_LOAD 2
#define val_UPGRADE_PREPARE 3
#define val_UPGRADE_SUM 4
#define val_UPGRADE_WRITE 5
#define val_UPGRADE_REBOOT 6
// The device's status reply to PREPARE, SUM and WRITE.
#define val_UPGRADE_STATUS 7
// UEI option that carries data as a byte string.
#define val_UPGRADE_DATA_UEI 10

class UpdaterEntity : public Veltrona::Corvantis::EntityClass {
public:
    // Bytes of content in one data packet (27 data bytes minus the sub-command).
    static const uint32_t kDataPieceSize = 26;
    // A piece that the device keeps counting wrong is sent at most this often in a row.
    static const unsigned kDataPieceTries = 8;
    static const unsigned kReconnectAttempts = 5;
    static const uint32_t kDefaultSerial = 0xDEADDEAD;
    // The wait for a directly attached device to drop its link after REBOOT.
    static const uint32_t kRebootWaitMs = 5000;
    static const uint32_t kRebootPollMs = 250;
    // After LOAD: the time a device takes to go down into its loader, the bound on its
    // coming back, and the pace of the checks meanwhile.
    static const uint32_t kLoaderSettleMs = 250;
    static const uint32_t kLoaderWaitMs = 5000;
    static const uint32_t kLoaderPollMs = 100;

    UpdaterEntity();
    ~UpdaterEntity() override;

    void init(Veltrona::Corvantis::Module *module, uint8_t index, bool sumCheck, bool routed);

    aErr LoaderInit();
    // data: the block (4-byte load address first), length: the whole block.
    aErr TransferPrepare(const uint8_t *data, uint32_t length, uint8_t flags, uint16_t &blockSize);
    aErr LoaderTransfer(const uint8_t *data, uint32_t length);
    aErr LoaderStart();
    // 0 when the device accepts data as UEI byte strings (then used from here on).
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();
    aErr FirmwareTransfer(const uint8_t *data, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface &display);
    aErr FirmwareWrite(uint16_t count);
    aErr LoaderReboot(UpdaterDisplayInterface &display);
    // Gives a device that restarts into its loader time to come back: waits settleMs, then,
    // on a direct link, up to waitMs until the device answers the address query on a running
    // link, creating the link again from its specifier when it stopped. Through a router only
    // the settle time: the router's link stays up while the device behind it restarts.
    // aErrNone when the device answered; else the last failure (nothing is undone).
    aErr AwaitLoader(uint32_t settleMs, uint32_t waitMs);

    aErr _reconnect(uint32_t delay);
    // One data transfer confirmed by the byte sum; count receives the packets (or strings)
    // the device accepted.
    aErr _block_transfer(const uint8_t *data, uint32_t length, uint32_t &count);
    aErr _block_transfer_uei_helper(const uint8_t *data, uint32_t length, uint32_t &count,
                                    uint32_t &sum);

    bool sumCheck = true;
    bool routed = false;
    bool ueiData = false;
    // Upper bound of the reboot wait for a directly attached device (tests shorten it).
    uint32_t rebootWaitMs = kRebootWaitMs;

private:
    // Sends cmdUPGRADE, sub, then length payload bytes.
    aErr sendRequest(uint8_t sub, const uint8_t *payload, uint8_t length);
    // Awaits the first reply that starts with cmdUPGRADE, sub; reply gets its data bytes.
    aErr awaitReply(uint8_t sub, uint8_t *reply, uint8_t &replyLength);

    Veltrona::Corvantis::Module *module = nullptr;
};

#endif
