#include "Entity.h"

#include <cstring>

#include "Module.h"
#include "aPacket.h"
#include "aUEI.h"

namespace Veltrona {
namespace Corvantis {

namespace {

uint32_t sValueOf(const uei &record) {
    switch (record.type) {
    case kUEITypeByte:
        return record.v.byteVal;
    case kUEITypeShort:
        return record.v.shortVal;
    case kUEITypeInt:
        return record.v.intVal;
    default:
        return 0;
    }
}

// The device's refusal: its code, never a success.
aErr sDeviceError(const uei &record) {
    aErr code = record.v.byteVal;
    if (code == aErrNone)
        return aErrUnknown;
    return code;
}

// The result of a reply: the device's code when it carries the error bit.
aErr sReplyResult(const uei &record) {
    if (record.specifier & aUEI_INDEX_ERROR)
        return sDeviceError(record);
    return aErrNone;
}

} // namespace

bool sUEIBytesFilter(const aPacket *packet, void *reference) {
    uei *record = static_cast<uei *>(reference);
    if (packet->address != record->module || packet->dataSize <= 2 ||
        packet->data[0] != record->command || packet->data[1] != record->option ||
        (packet->data[2] & aUEI_INDEX_MASK) != record->specifier)
        return false;
    const uint8_t index = packet->data[2];
    if (index & aUEI_INDEX_ERROR) {
        record->specifier = index;
        record->v.byteVal = packet->dataSize > 3 ? packet->data[3] : 0;
        return true;
    }
    // A piece of a byte string ends with its sequence byte.
    if (packet->dataSize < 4)
        return false;
    ueiBytes &bytes = record->v.bytes;
    const uint8_t last = packet->data[packet->dataSize - 1];
    if ((last & aUEI_BYTES_SEQUENCE) != bytes.sequence)
        return false;
    const size_t length = packet->dataSize - 4u;
    if (*bytes.count + length > bytes.length) {
        record->specifier = static_cast<uint8_t>(record->specifier | aUEI_INDEX_ERROR);
        record->v.byteVal = aErrMemory;
        return true;
    }
    if (length > 0)
        std::memcpy(bytes.data, &packet->data[3], length);
    bytes.data += length;
    *bytes.count += length;
    bytes.sequence = last & aUEI_BYTES_SEQUENCE;
    bytes.continueFlag = (last & aUEI_BYTES_CONTINUE) ? 1 : 0;
    return true;
}

struct EntityClass::impl {
    explicit impl(EntityClass *owner) : entity(owner) {}
    // The module's link, or null when the entity is not bound.
    Link *link() const { return module != nullptr ? module->getLink() : nullptr; }

    EntityClass *entity;
    Module *module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl(this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module *module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const {
    return m_impl->index;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t *data) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t *match, uint8_t *length, uint8_t *data) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, data);
}

aErr EntityClass::getUEI(uint8_t option, uei *record) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    if (record == nullptr)
        return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    const uint8_t subindex = record->type == kUEITypeByte ? record->v.byteVal : 0;
    aErr err =
        link->getStreamValue(module, m_impl->command, option, m_impl->index, subindex, record);
    if (err != aErrNotFound)
        return err;
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option + aUEI_OPTION_GET);
    record->specifier = static_cast<uint8_t>(m_impl->index + aUEI_INDEX_REQUEST);
    err = link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    err = link->receiveUEI(module, m_impl->command, option, m_impl->index, record);
    if (err != aErrNone)
        return err;
    return sReplyResult(*record);
}

aErr EntityClass::setUEI(uint8_t option, uei *record) {
    return setValue(option, false, 0, record);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei *record) {
    return setValue(option, true, subindex, record);
}

aErr EntityClass::setValue(uint8_t option, bool subindexed, uint8_t subindex, uei *record) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    if (record == nullptr)
        return aErrParam;
    const uint8_t module = m_impl->module->getModuleAddress();
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option + aUEI_OPTION_SET);
    record->specifier = static_cast<uint8_t>(m_impl->index + aUEI_INDEX_REQUEST);
    aErr err = subindexed ? link->sendUEI(*record, subindex) : link->sendUEI(*record);
    if (err != aErrNone)
        return err;
    err = link->receiveUEI(module, m_impl->command, static_cast<uint8_t>(option + aUEI_OPTION_ACK),
                           m_impl->index, record);
    if (err != aErrNone)
        return err;
    return sReplyResult(*record);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei record{};
    record.type = kUEITypeNone;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei record{};
    record.type = kUEITypeByte;
    record.v.byteVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei record{};
    record.type = kUEITypeShort;
    record.v.shortVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei record{};
    record.type = kUEITypeInt;
    record.v.intVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei record{};
    record.type = kUEITypeByte;
    record.v.byteVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei record{};
    record.type = kUEITypeShort;
    record.v.shortVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei record{};
    record.type = kUEITypeInt;
    record.v.intVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t *data, size_t length) {
    uei record{};
    record.type = kUEITypeBytes;
    // Sending only reads the bytes.
    record.v.bytes.data = const_cast<uint8_t *>(data);
    record.v.bytes.length = length;
    return setUEI(option, &record);
}

template <typename T>
aErr EntityClass::getValue(uint8_t option, bool subindexed, uint8_t subindex, T *out) {
    if (out == nullptr)
        return aErrParam;
    uei record{};
    record.type = kUEITypeNone;
    if (subindexed) {
        record.type = kUEITypeByte;
        record.v.byteVal = subindex;
    }
    aErr err = getUEI(option, &record);
    if (err == aErrNone || err == aErrStreamStale)
        *out = static_cast<T>(sValueOf(record));
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t *out) {
    return getValue(option, false, 0, out);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t *out) {
    return getValue(option, false, 0, out);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t *out) {
    return getValue(option, false, 0, out);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t *out) {
    return getValue(option, true, subindex, out);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t *out) {
    return getValue(option, true, subindex, out);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t *out) {
    return getValue(option, true, subindex, out);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t *buffer, size_t capacity, size_t *count) {
    if (buffer == nullptr || count == nullptr || capacity == 0)
        return aErrParam;
    *count = 0;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();
    uei record{};
    record.module = module;
    record.command = m_impl->command;
    record.option = static_cast<uint8_t>(option + aUEI_OPTION_GET);
    record.specifier = static_cast<uint8_t>(m_impl->index + aUEI_INDEX_REQUEST);
    record.type = kUEITypeNone;
    aErr err = link->sendUEI(record);
    if (err != aErrNone)
        return err;
    // Received with type none, so each piece is awaited 1000 ms.
    record.option = option;
    record.specifier = m_impl->index;
    record.v.bytes.data = buffer;
    record.v.bytes.length = capacity;
    record.v.bytes.count = count;
    record.v.bytes.sequence = 0;
    record.v.bytes.continueFlag = 0;
    record.type = kUEITypeNone;
    uint8_t expected = 0;
    for (;;) {
        err = link->receiveUEI(module, m_impl->command, option, m_impl->index, &record,
                               sUEIBytesFilter);
        if (err != aErrNone)
            return err;
        if (record.specifier & aUEI_INDEX_ERROR)
            return sDeviceError(record);
        if (!record.v.bytes.continueFlag)
            return aErrNone;
        ++expected;
        record.v.bytes.sequence = expected;
    }
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket *packet) {
    return aUEI_getBytesSequence(packet);
}

uint8_t EntityClass::getUEIBytesContinue(const aPacket *packet) {
    return aUEI_getBytesContinue(packet);
}

aErr EntityClass::getUEIBytesCheck(size_t *count, size_t size) {
    if (count == nullptr || size == 0)
        return aErrParam;
    if (*count % size != 0)
        return aErrMemory;
    *count /= size;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t *out, uint32_t) {
    if (out == nullptr)
        return aErrParam;
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    uei record{};
    record.type = kUEITypeNone;
    aErr err = link->receiveUEI(m_impl->module->getModuleAddress(), m_impl->command, option,
                                m_impl->index, &record);
    if (err != aErrNone)
        return err;
    if (record.specifier & aUEI_INDEX_ERROR)
        return sDeviceError(record);
    *out = sValueOf(record);
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link *link = m_impl->link();
    if (link == nullptr)
        return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index);
}

aErr EntityClass::entityStore(uint8_t action) {
    if (m_impl->link() == nullptr)
        return aErrResource;
    EntityClass store;
    store.init(m_impl->module, cmdENTITY_STORE, 0);
    return store.setUEI32(action, static_cast<uint32_t>(m_impl->command) << 8 | m_impl->index);
}

aErr EntityClass::saveEntityToStore() {
    return entityStore(entityStoreSave);
}

aErr EntityClass::loadEntityFromStore() {
    return entityStore(entityStoreLoad);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return entityStore(entityStoreReset);
}

} // namespace Corvantis
} // namespace Veltrona
