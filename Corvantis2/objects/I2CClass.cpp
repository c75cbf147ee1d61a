#include "I2CClass.h"

#include <cstring>

#include "aPacket.h"

namespace Veltrona {
namespace Corvantis {

namespace {
const uint8_t kStatusError = 0x80;
const uint8_t kPullupSelector = 1;
} // namespace

void I2CClass::init(Module *module, uint8_t index) {
    EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > aI2C_MAX_SPEED)
        return aErrParam;
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t *speed) {
    if (speed == nullptr)
        return aErrParam;
    *speed = m_speed;
    return aErrNone;
}

aErr I2CClass::awaitStatus(const uint8_t *match, uint8_t matchLength, uint8_t *reply,
                           uint8_t *replyLength) {
    *replyLength = matchLength;
    aErr err = receivePacket(match, replyLength, reply);
    if (err != aErrNone)
        return err;
    if (*replyLength <= 4)
        return aErrPacket;
    const uint8_t status = reply[4];
    if (status & kStatusError)
        return static_cast<aErr>(status & ~kStatusError);
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t *buffer) {
    if (length > aI2C_MAX_TRANSFER)
        return aErrSize;
    if (length > 0 && buffer == nullptr)
        return aErrParam;
    const uint8_t busAddress = static_cast<uint8_t>(address | 1);
    const uint8_t request[4] = {getIndex(), busAddress, length, m_speed};
    aErr err = sendPacket(cmdI2C, sizeof request, request);
    if (err != aErrNone)
        return err;
    const uint8_t match[3] = {cmdI2C, getIndex(), busAddress};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    err = awaitStatus(match, sizeof match, reply, &replyLength);
    if (err != aErrNone)
        return err;
    // Never more than the reply holds nor than the caller asked for.
    size_t count = reply[3];
    if (count > static_cast<size_t>(replyLength - 5))
        count = replyLength - 5;
    if (count > length)
        count = length;
    if (count > 0)
        std::memcpy(buffer, &reply[5], count);
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t *data) {
    if (length > aI2C_MAX_TRANSFER)
        return aErrSize;
    if (length > 0 && data == nullptr)
        return aErrParam;
    uint8_t request[4 + aI2C_MAX_TRANSFER] = {getIndex(), address, length, m_speed};
    if (length > 0)
        std::memcpy(&request[4], data, length);
    aErr err = sendPacket(cmdI2C, static_cast<uint8_t>(4 + length), request);
    if (err != aErrNone)
        return err;
    const uint8_t match[4] = {cmdI2C, getIndex(), address, 0};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    return awaitStatus(match, sizeof match, reply, &replyLength);
}

aErr I2CClass::setPullup(bool enable) {
    const uint8_t request[3] = {getIndex(), kPullupSelector, static_cast<uint8_t>(enable ? 1 : 0)};
    aErr err = sendPacket(cmdI2C, sizeof request, request);
    if (err != aErrNone)
        return err;
    const uint8_t match[3] = {cmdI2C, getIndex(), kPullupSelector};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    return awaitStatus(match, sizeof match, reply, &replyLength);
}

} // namespace Corvantis
} // namespace Veltrona
