// Base of all entity classes: one entity (command byte and index) of one Module, and the UEI
// get, set, call, byte-string and await exchanges with it.
#ifndef _Entity_H_
#define _Entity_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"

namespace Veltrona {
namespace Corvantis {

class Module;

// Entity store command and its actions.
#define cmdENTITY_STORE 0x5C
#define entityStoreSave 0
#define entityStoreReset 1
#define entityStoreLoad 2

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass &) = delete;
    EntityClass &operator=(const EntityClass &) = delete;

    void init(Module *module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Raw packets to and from the entity's module (aErrResource when not bound).
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t *data);
    aErr receivePacket(const uint8_t *match, uint8_t *length, uint8_t *data);

    aErr getUEI(uint8_t option, uei *record);
    aErr setUEI(uint8_t option, uei *record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei *record);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t *data, size_t length);

    // The value is stored on aErrNone and on aErrStreamStale; the code is returned either way.
    aErr getUEI8(uint8_t option, uint8_t *out);
    aErr getUEI16(uint8_t option, uint16_t *out);
    aErr getUEI32(uint8_t option, uint32_t *out);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t *out);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t *out);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t *out);
    // Reads a byte string into buffer (at most capacity bytes); *count receives its length.
    aErr getUEIBytes(uint8_t option, uint8_t *buffer, size_t capacity, size_t *count);
    static uint8_t getUEIBytesSequence(const aPacket *packet);
    static uint8_t getUEIBytesContinue(const aPacket *packet);
    // Turns a byte count into a count of size-byte units; aErrMemory if it does not divide.
    static aErr getUEIBytesCheck(size_t *count, size_t size);

    // Waits for a value the device sends unasked; extra has no effect.
    aErr awaitUEI32Val(uint8_t option, uint32_t *out, uint32_t extra);
    aErr drainUEI(uint8_t option);

    aErr saveEntityToStore();
    aErr loadEntityFromStore();
    aErr resetEntityToFactoryDefaults();

    struct impl;

private:
    // Reads a value and narrows it to T (stored on aErrNone and aErrStreamStale).
    template <typename T> aErr getValue(uint8_t option, bool subindexed, uint8_t subindex, T *out);
    aErr setValue(uint8_t option, bool subindexed, uint8_t subindex, uei *record);
    aErr entityStore(uint8_t action);

    std::unique_ptr<impl> m_impl;
};

// Filter of byte-string replies: the record also carries the expected sequence number, the
// destination and the count.
bool sUEIBytesFilter(const aPacket *packet, void *record);

} // namespace Corvantis
} // namespace Veltrona

#endif
