#include "Link.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "aDebug.h"
#include "aPacket.h"
#include "aUEI.h"
#include "unix_time.h"

namespace Veltrona {
namespace Corvantis {

namespace {

const size_t kNameMax = 1024;
const uint64_t kReplyWaitMS = 1000;
const uint32_t kLinkPollMS = 10;
const int kConnectPolls = 200; // about 2 s

// Serialises all link creation: several Link objects may create or share one physical link.
std::mutex linkCreateHelperSerializer;

const LinkDiscoveryOps sRealDiscovery = {aDiscovery_FindModule, aDiscovery_EnumerateModules};
std::atomic<const LinkDiscoveryOps *> sDiscovery{&sRealDiscovery};

bool sValidModule(uint8_t module) {
    return module != 0 && (module & 1) == 0;
}

struct CommandMatch {
    const uint8_t *match;
    uint8_t length;
};

bool sCommandFilter(const aPacket *packet, void *reference) {
    const CommandMatch *m = static_cast<const CommandMatch *>(reference);
    if (packet->dataSize < m->length)
        return false;
    return m->length == 0 || std::memcmp(packet->data, m->match, m->length) == 0;
}

// The answer to the address query is an empty packet from the device's address.
bool sMatchMagic(const aPacket *packet, void *) {
    return packet->dataSize == 0;
}

bool sAcceptedUEIHeader(const aPacket *packet, const uei *record) {
    return packet->address == record->module && packet->dataSize > 2 &&
           packet->data[0] == record->command && packet->data[1] == record->option &&
           (packet->data[2] & aUEI_INDEX_MASK) == record->specifier;
}

// Owners of the library's heap records, so that no path can leak one.
struct SpecDeleter {
    void operator()(linkSpec *spec) const { aLinkSpec_Destroy(&spec); }
};
using SpecPtr = std::unique_ptr<linkSpec, SpecDeleter>;
struct PacketDeleter {
    void operator()(aPacket *packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr sCreatePacket(uint8_t module, const uint8_t *data, uint8_t length) {
    static const uint8_t none = 0;
    return PacketPtr(aPacket_CreateWithData(module, length, length ? data : &none));
}

// Appends the record's scalar value at bytes[*length]; false for a type without one.
bool sStoreScalar(const uei &record, uint8_t *bytes, uint8_t *length) {
    switch (record.type) {
    case kUEITypeNone:
        return true;
    case kUEITypeByte:
        bytes[(*length)++] = record.v.byteVal;
        return true;
    case kUEITypeShort:
        aUEI_StoreShort(&bytes[*length], record.v.shortVal);
        *length = static_cast<uint8_t>(*length + 2);
        return true;
    case kUEITypeInt:
        aUEI_StoreInt(&bytes[*length], record.v.intVal);
        *length = static_cast<uint8_t>(*length + 4);
        return true;
    default:
        return false;
    }
}

// Selects discovered devices: the first of the wanted model, or the first at all for model 0.
bool cbModelCallback(const linkSpec *found, bool *accepted, void *reference) {
    linkSpec *wanted = static_cast<linkSpec *>(reference);
    if (wanted->model != 0 && wanted->model != found->model)
        return true;
    std::memcpy(wanted, found, sizeof(linkSpec));
    *accepted = true;
    return false;
}

bool _fallbackHelper(aErr err, uint32_t type, bool fallback) {
    if (err != aErrNotFound && err != aErrInitialization && err != aErrConnection)
        return false;
    if (type != USB && type != TCPIP && !isAFABRIC(type))
        return false;
    return fallback;
}

} // namespace

bool isAFABRIC(uint32_t type) {
    return type >= AFABRIC && type <= AFABRIC_SERIAL;
}

void Link_SetDiscoveryOps(const LinkDiscoveryOps *ops) {
    sDiscovery = ops != nullptr ? ops : &sRealDiscovery;
}

bool sUEIFilter(const aPacket *packet, void *reference) {
    uei *record = static_cast<uei *>(reference);
    if (!sAcceptedUEIHeader(packet, record))
        return false;
    const uint8_t index = packet->data[2];
    if (index & aUEI_INDEX_ERROR) {
        record->specifier = index;
        record->v.byteVal = packet->dataSize > 3 ? packet->data[3] : 0;
        record->type = kUEITypeByte;
        return true;
    }
    switch (packet->dataSize) {
    case 3:
        record->type = kUEITypeNone;
        break;
    case 4:
        record->v.byteVal = packet->data[3];
        record->type = kUEITypeByte;
        break;
    case 5:
        record->v.shortVal = aUEI_RetrieveShort(&packet->data[3]);
        record->type = kUEITypeShort;
        break;
    case 7:
        record->v.intVal = aUEI_RetrieveInt(&packet->data[3]);
        record->type = kUEITypeInt;
        break;
    default:
        break; // matches, but carries no value of a known size
    }
    return true;
}

struct Link::impl {
    explicit impl(Link *owner, const char *linkName) : link(owner) {
        if (linkName != nullptr)
            name.assign(linkName, strnlen(linkName, kNameMax));
        else
            hasName = false;
    }
    ~impl() {
        // Streaming would stop here first; then the link goes, then (as a member) the
        // specifier.
        if (id != 0)
            aLink_Destroy(&id);
    }

    aErr connectHelper();
    aErr linkCreateHelper(const linkSpec *s);
    aErr waitForLink(int count);
    aErr discoveryAndConnectHelper(uint32_t type, uint32_t serial, uint8_t model);
    bool connected() const { return id != 0 && aLink_GetStatus(id) == kLinkStatusRunning; }

    Link *link;
    aLinkRef id = 0;
    // id is another Link's identifier that this one does not hold (yet).
    bool borrowed = false;
    aFabricConfig config;
    std::string name;
    bool hasName = true;
    SpecPtr spec;
};

aErr Link::impl::waitForLink(int count) {
    aLinkStatus status = aLink_GetStatus(id);
    switch (status) {
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
        for (int i = 0; i < count && status != kLinkStatusRunning; ++i) {
            aTime_MSSleep(kLinkPollMS);
            status = aLink_GetStatus(id);
        }
        return status == kLinkStatusRunning ? aErrNone : aErrConnection;
    case kLinkStatusRunning:
        return aErrNone;
    case kLinkStatusStopping:
        return aErrBusy;
    case kLinkStatusNoStream:
    case kLinkStatusIOError:
    case kLinkStatusPacketError:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

aErr Link::impl::linkCreateHelper(const linkSpec *s) {
    std::lock_guard<std::mutex> serialise(linkCreateHelperSerializer);
    const uint32_t type = s->type;
    aLinkRef created = 0;
    switch (type) {
    case USB:
        created = aLink_CreateUSB(s->serial_num);
        break;
    case TCPIP:
        created =
            aLink_CreateTCPIP(s->serial_num, s->ip_address, static_cast<uint16_t>(s->ip_port));
        break;
    case SERIAL: {
        char port[sizeof s->serial_port + 1];
        std::memcpy(port, s->serial_port, sizeof s->serial_port);
        port[sizeof s->serial_port] = '\0';
        created = aLink_CreateSerial(s->serial_num, port, s->baud_rate);
        break;
    }
    case AFABRIC:
    case AFABRIC_USB:
    case AFABRIC_TCPIP:
    case AFABRIC_SERIAL:
        if (!config.enabled)
            return aErrConfiguration;
        created = aLink_CreateClient(s->ip_address, static_cast<uint16_t>(s->ip_port), id);
        break;
    default:
        return aErrMode;
    }
    id = created;
    borrowed = false;
    if (id != 0 && !isAFABRIC(type) && config.enabled) {
        aLinkRef direct = id;
        aDEBUG_TRACE(aDEBUG_LINK, "Creating Server: real_stem id: %d\n", (int)direct);
        id = aLink_CreateServer(direct, &config.assignedPort, &config.networkInterface,
                                config.localOnly);
        aDEBUG_TRACE(aDEBUG_LINK, "Creating Server: m_stem id: %d\n", (int)id);
        if (id == 0) {
            // No link may stay behind a failed server: connectHelper reports the failure.
            aLink_Destroy(&direct);
            aDEBUG_TRACE(aDEBUG_LINK, "Failed to create server\n");
        }
    }
    return aErrNone;
}

aErr Link::impl::connectHelper() {
    if (spec == nullptr)
        return aErrConfiguration;
    aErr err = linkCreateHelper(spec.get());
    if (err != aErrNone)
        return err;
    if (id == 0)
        return aErrConnection;
    return waitForLink(kConnectPolls);
}

aErr Link::impl::discoveryAndConnectHelper(uint32_t type, uint32_t serial, uint8_t model) {
    const LinkDiscoveryOps *ops = sDiscovery.load();
    SpecPtr found;
    if (serial != 0) {
        found.reset(ops->findModule(type, serial, config.networkInterface));
    } else {
        linkSpec wanted{};
        wanted.type = type;
        wanted.model = model;
        if (ops->enumerateModules(type, cbModelCallback, &wanted, config.networkInterface) != 0)
            found.reset(aLinkSpec_Copy(&wanted));
    }
    if (!found)
        return aErrNotFound;
    link->setLinkSpecifier(*found); // refused silently while connected
    found.reset();
    return link->connect();
}

Link::Link(linkSpec spec, const char *name) : m_impl(new impl(this, name)) {
    m_impl->spec.reset(aLinkSpec_Copy(&spec));
}

Link::Link(const char *name) : m_impl(new impl(this, name)) {}

Link::~Link() = default;

aErr Link::getConfig(aFabricConfig *out) const {
    if (out == nullptr)
        return aErrParam;
    *out = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aFabricConfig &config) {
    if (isConnected())
        return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec *out) const {
    if (m_impl->spec == nullptr)
        return aErrNotFound;
    if (out == nullptr)
        return aErrParam;
    std::memcpy(out, m_impl->spec.get(), sizeof(linkSpec));
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec &spec) {
    if (isConnected())
        return aErrBusy;
    SpecPtr copy(aLinkSpec_Copy(&spec));
    if (!copy)
        return aErrMemory;
    m_impl->spec = std::move(copy);
    return aErrNone;
}

const char *Link::getName() const {
    return m_impl->hasName ? m_impl->name.c_str() : nullptr;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model) {
    aErr err = m_impl->discoveryAndConnectHelper(type, serial, model);
    if (!_fallbackHelper(err, type, m_impl->config.fallback))
        return err;
    uint32_t next = isAFABRIC(type) ? USB : AFABRIC;
    aDEBUG_TRACE(aDEBUG_LINK, "Executing Fallback - old type: %d - new type: %d\n", (int)type,
                 (int)next);
    return m_impl->discoveryAndConnectHelper(next, serial, model);
}

aErr Link::connect() {
    if (m_impl->id != 0)
        return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link *other) {
    if (other == nullptr)
        return aErrInitialization;
    m_impl->id = other->m_impl->id;
    m_impl->borrowed = true;
    aErr err = m_impl->connectHelper();
    // A connection that failed before it took a hold of its own must not release the other
    // link's hold later.
    if (m_impl->borrowed) {
        m_impl->id = 0;
        m_impl->borrowed = false;
    }
    return err;
}

bool Link::isConnected() const {
    return m_impl->connected();
}

aLinkStatus Link::getStatus() const {
    if (m_impl->id == 0)
        return kLinkStatusPacketError;
    return aLink_GetStatus(m_impl->id);
}

aErr Link::disconnect() {
    if (m_impl->id != 0)
        aLink_Destroy(&m_impl->id);
    return aErrNone;
}

aErr Link::reset() {
    if (m_impl->id != 0)
        aLink_Reset(m_impl->id);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
    return aLink_EnablePooledPackets(m_impl->id, enable);
}

aLinkRef Link::getLinkRef() const {
    return m_impl->id;
}

aErr Link::getModuleAddress(uint8_t *out) {
    if (out == nullptr)
        return aErrParam;
    *out = 0;
    if (!isConnected())
        return aErrNotReady;
    aDEBUG_TRACE(aDEBUG_LINK, "getModuleAddress\n");
    PacketPtr query(aPacket_Create());
    if (!query)
        return aErrResource;
    query->address = aLINK_SYNC_ADDRESS;
    aLink_PutPacket(m_impl->id, query.get());
    aDEBUG_TRACE(aDEBUG_LINK, "getModuleAddress wait\n");
    PacketPtr answer(aLink_AwaitFirst(m_impl->id, sMatchMagic, nullptr, kReplyWaitMS));
    if (!answer)
        return aErrNotReady;
    *out = answer->address;
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t *data) {
    if (!isConnected())
        return aErrConnection;
    if (length > aPACKET_MAXDATA - 1 || (length > 0 && data == nullptr))
        return aErrParam;
    if (!sValidModule(module))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAXDATA];
    bytes[0] = command;
    if (length > 0)
        std::memcpy(bytes + 1, data, length);
    PacketPtr packet = sCreatePacket(module, bytes, static_cast<uint8_t>(length + 1));
    if (!packet)
        return aErrResource;
    aLink_PutPacket(m_impl->id, packet.get());
    return aErrNone;
}

aErr Link::receivePacket(uint8_t module, const uint8_t *match, uint8_t *length, uint8_t *data) {
    if (length == nullptr || data == nullptr || (*length > 0 && match == nullptr))
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    CommandMatch m{match, *length};
    PacketPtr packet(aLink_AwaitFirst(m_impl->id, sCommandFilter, &m, kReplyWaitMS));
    if (!packet)
        return aErrTimeout;
    *length = packet->dataSize;
    std::memcpy(data, packet->data, packet->dataSize);
    return aErrNone;
}

aErr Link::sendUEI(const uei &record) {
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(record.module))
        return aErrPacket;
    uint8_t bytes[aPACKET_MAXDATA] = {record.command, record.option, record.specifier};
    if (record.type == kUEITypeBytes) {
        const uint8_t *data = record.v.bytes.data;
        size_t left = record.v.bytes.length;
        if (left > 0 && data == nullptr)
            return aErrParam;
        uint8_t sequence = 0;
        // An empty string still goes out as one packet, with sequence byte 0.
        do {
            size_t chunk = left > aUEI_BYTES_CHUNK ? aUEI_BYTES_CHUNK : left;
            left -= chunk;
            if (chunk > 0)
                std::memcpy(&bytes[3], data, chunk);
            data += chunk;
            bytes[3 + chunk] = static_cast<uint8_t>((sequence & aUEI_BYTES_SEQUENCE) |
                                                    (left > 0 ? aUEI_BYTES_CONTINUE : 0));
            PacketPtr packet =
                sCreatePacket(record.module, bytes, static_cast<uint8_t>(3 + chunk + 1));
            if (!packet)
                return aErrResource;
            aErr err = aLink_PutPacket(m_impl->id, packet.get());
            if (err != aErrNone)
                return err;
            sequence = static_cast<uint8_t>((sequence + 1) & aUEI_BYTES_SEQUENCE);
        } while (left > 0);
        return aErrNone;
    }
    uint8_t length = 3;
    if (!sStoreScalar(record, bytes, &length))
        return aErrParam;
    PacketPtr packet = sCreatePacket(record.module, bytes, length);
    if (!packet)
        return aErrResource;
    return aLink_PutPacket(m_impl->id, packet.get());
}

aErr Link::sendUEI(const uei &record, uint8_t subindex) {
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(record.module))
        return aErrPacket;
    uint8_t bytes[8] = {record.command, record.option, record.specifier, subindex};
    uint8_t length = 4;
    // A byte string has no subindexed form; nothing meaningful could be sent.
    if (!sStoreScalar(record, bytes, &length))
        return aErrParam;
    PacketPtr packet = sCreatePacket(record.module, bytes, length);
    if (!packet)
        return aErrResource;
    return aLink_PutPacket(m_impl->id, packet.get());
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei *record) {
    return receiveUEI(module, command, option, specifier, record, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei *record, aPacketFilterProc filter) {
    if (record == nullptr || filter == nullptr)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    record->module = module;
    record->command = command;
    record->option = option;
    record->specifier = specifier;
    uint64_t wait = aUEI_WAIT_MS;
    if (record->type == kUEITypeBytes && record->v.bytes.length > aUEI_BYTES_LARGE) {
        wait = aUEI_WAIT_LARGE_MS;
        aDEBUG_TRACE(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                     (unsigned long)wait);
    }
    PacketPtr packet(aLink_AwaitFirst(m_impl->id, filter, record, wait));
    return packet ? aErrNone : aErrTimeout;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option,
                                  uint8_t specifier) {
    if (!isConnected())
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    uei record{};
    record.module = module;
    record.command = command;
    record.option = option;
    record.specifier = specifier;
    aLink_DrainPackets(m_impl->id, sUEIFilter, &record);
    return aErrNone;
}

aErr Link::getStreamValue(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uei *) {
    // No option is streamed on this link.
    return aErrNotFound;
}

} // namespace Corvantis
} // namespace Veltrona
