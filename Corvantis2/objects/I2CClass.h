// An I2C bus entity of a device (command 0x08): raw transfers to and from the devices on that
// bus. Addresses are 8-bit bus addresses whose bit 0 is the read flag.
#ifndef _I2CClass_H_
#define _I2CClass_H_

#include <cstdint>

#include "Entity.h"

#define cmdI2C 0x08
// Most data bytes of one transfer.
#define aI2C_MAX_TRANSFER 23
#define aI2C_MAX_SPEED 3

namespace Veltrona {
namespace Corvantis {

class Module;

class I2CClass : public EntityClass {
public:
    I2CClass() = default;
    ~I2CClass() override = default;

    void init(Module *module, uint8_t index);

    // Kept on the host and sent with every transfer; above 3: aErrParam.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t *speed);
    // length above 23: aErrSize. A status with bit 7 set gives the status without it.
    aErr read(uint8_t address, uint8_t length, uint8_t *buffer);
    aErr write(uint8_t address, uint8_t length, const uint8_t *data);
    aErr setPullup(bool enable);

private:
    // Waits for the reply that starts with match, and turns its status byte into the result.
    aErr awaitStatus(const uint8_t *match, uint8_t matchLength, uint8_t *reply,
                     uint8_t *replyLength);

    uint8_t m_speed = 0;
};

} // namespace Corvantis
} // namespace Veltrona

#endif
