// The system entity of a device (command 0x03): identity, versions, power and temperature
// readings, routing settings and whole-device commands, each one UEI exchange.
#ifndef _SystemClass_H_
#define _SystemClass_H_

#include <cstddef>
#include <cstdint>

#include "Entity.h"

#define cmdSYSTEM 0x03

// Option codes of the system entity.
#define systemModule 1
#define systemRouter 2
#define systemHBInterval 3
#define systemLED 4
#define systemBootSlot 6
#define systemVersion 7
#define systemModel 8
#define systemSerialNumber 9
#define systemSave 10
#define systemReset 11
#define systemInputVoltage 12
#define systemModuleHardwareOffset 13
#define systemModuleBaseAddress 14
#define systemModuleSoftwareOffset 15
#define systemRouterAddressSetting 16
#define systemRouteToMe 20
#define systemInputCurrent 21
#define systemUptime 22
#define systemMaximumTemperature 23
#define systemLogEvents 24
#define systemUnregulatedVoltage 25
#define systemUnregulatedCurrent 26
#define systemTemperature 27
#define systemMinimumTemperature 28
#define systemInputPowerSource 29
#define systemInputPowerBehavior 30
#define systemInputPowerBehaviorConfig 31
#define systemName 32
#define systemPowerLimit 33
#define systemPowerLimitMax 34
#define systemPowerLimitState 35
#define systemResetDeviceToFactoryDefaults 37
#define systemLinkInterface 38
#define systemUniqueIdentifier 39
#define systemHardwareVersion 40
#define systemErrors 41
#define systemLEDMaxBrightness 42
#define systemBuild 43
#define systemProtocolFeatures 45

namespace Veltrona {
namespace Corvantis {

class Module;

class SystemClass : public EntityClass {
public:
    SystemClass() = default;
    ~SystemClass() override = default;

    void init(Module *module, uint8_t index);

    aErr getModule(uint8_t *value);
    aErr setRouter(uint8_t value);
    aErr getRouter(uint8_t *value);
    aErr setHBInterval(uint8_t value);
    aErr getHBInterval(uint8_t *value);
    aErr setLED(uint8_t value);
    aErr getLED(uint8_t *value);
    aErr setBootSlot(uint8_t value);
    aErr getBootSlot(uint8_t *value);
    aErr getVersion(uint32_t *value);
    aErr getModel(uint8_t *value);
    aErr getSerialNumber(uint32_t *value);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t *value);
    aErr getModuleHardwareOffset(uint8_t *value);
    aErr getModuleBaseAddress(uint8_t *value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getModuleSoftwareOffset(uint8_t *value);
    aErr getRouterAddressSetting(uint8_t *value);
    aErr routeToMe(uint8_t value);
    aErr getInputCurrent(uint32_t *value);
    aErr getUptime(uint32_t *value);
    aErr getMaximumTemperature(int32_t *value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t *value);
    aErr getUnregulatedCurrent(int32_t *value);
    aErr getTemperature(int32_t *value);
    aErr getMinimumTemperature(int32_t *value);
    aErr getInputPowerSource(uint8_t *value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getInputPowerBehavior(uint8_t *value);
    aErr getPowerLimit(uint32_t *value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitMax(uint32_t *value);
    aErr getPowerLimitState(uint32_t *value);
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t value);
    aErr getLinkInterface(uint8_t *value);
    aErr getHardwareVersion(uint32_t *value);
    aErr getErrors(uint32_t *value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getLEDMaxBrightness(uint8_t *value);
    aErr getBuild(uint32_t *value);
    aErr getProtocolFeatures(uint32_t *value);

    // Byte strings. The 32-bit values of the power behaviour configuration travel as they lie
    // in host memory; the count of getInputPowerBehaviorConfig comes back in values.
    aErr getName(uint8_t *buffer, size_t capacity, size_t *count);
    aErr setName(const uint8_t *data, size_t length);
    aErr getInputPowerBehaviorConfig(uint32_t *values, size_t capacity, size_t *count);
    aErr setInputPowerBehaviorConfig(const uint32_t *values, size_t count);

private:
    aErr getSigned32(uint8_t option, int32_t *value);
};

} // namespace Corvantis
} // namespace Veltrona

#endif
