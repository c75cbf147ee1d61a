#include "Module.h"

#include <cstring>

#include "aDebug.h"
#include "unix_time.h"

namespace Veltrona {
namespace Corvantis {

namespace {
const int kAutoNetworkTries = 4;
const uint32_t kAutoNetworkPauseMS = 5;
} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool autoNetworking, uint8_t model)
    : m_link(new Link("Link")), m_address(address), m_networking(autoNetworking), m_model(model) {}

Module::~Module() = default;

aErr Module::connect(linkType type, uint32_t serial) {
    if (serial == 0)
        return aErrParam;
    return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serial) {
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serial, m_model);
    if (err == aErrNone)
        err = _autoNetwork();
    return err;
}

aErr Module::connectFromSpec(const linkSpec &spec) {
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone)
        err = m_link->connect();
    if (err == aErrNone) {
        err = _autoNetwork();
        aDEBUG_TRACE(aDEBUG_MODULE, "Post autoNetwork err: %d\n", (int)err);
    }
    return err;
}

aErr Module::connectThroughLinkModule(Module *router) {
    if (!m_link)
        return aErrInitialization;
    if (m_link->isConnected())
        return aErrNone;
    if (router == nullptr || !router->m_link)
        return aErrInitialization;
    linkSpec spec;
    aErr err = router->m_link->getLinkSpecifier(&spec);
    aFabricConfig config;
    if (err == aErrNone)
        err = router->m_link->getConfig(&config);
    if (err == aErrNone)
        err = m_link->setConfig(config);
    if (err == aErrNone) {
        if (config.enabled) {
            // A further client of the router's sharing server.
            spec.type = AFABRIC;
            spec.ip_address = config.networkInterface;
            spec.ip_port = config.assignedPort;
        }
        err = m_link->setLinkSpecifier(spec);
    }
    if (err == aErrNone)
        err = m_link->connectThroughLinkModule(router->m_link.get());
    if (err == aErrNone)
        m_networking = false;
    return err;
}

aErr Module::reconnect() {
    if (!m_link)
        return aErrInitialization;
    aErr err = m_link->connect();
    if (err == aErrNone)
        err = _autoNetwork();
    return err;
}

bool Module::isConnected() const {
    return m_link && m_link->isConnected();
}

aLinkStatus Module::getStatus() const {
    return m_link ? m_link->getStatus() : kLinkStatusPacketError;
}

aErr Module::disconnect() {
    if (!m_link)
        return aErrInitialization;
    return m_link->disconnect();
}

uint8_t Module::getModuleAddress() const {
    return m_address;
}

void Module::setModuleAddress(uint8_t address) {
    m_address = address;
}

aErr Module::getLinkSpecifier(linkSpec *out) const {
    if (!m_link)
        return aErrNotReady;
    return m_link->getLinkSpecifier(out);
}

aErr Module::getConfig(aFabricConfig *out) const {
    if (!m_link)
        return aErrNotReady;
    if (out == nullptr)
        return aErrParam;
    return m_link->getConfig(out);
}

aErr Module::setConfig(const aFabricConfig &config) {
    if (!m_link)
        return aErrNotReady;
    return m_link->setConfig(config);
}

Link *Module::getLink() const {
    return m_link.get();
}

void Module::setNetworkingMode(bool on) {
    m_networking = on;
}

aErr Module::_autoNetwork() {
    if (!m_networking || !m_link)
        return aErrNone;
    uint8_t address = 0;
    aErr err = aErrNotReady;
    int calls = 0;
    while (err == aErrNotReady && calls < kAutoNetworkTries) {
        err = m_link->getModuleAddress(&address);
        ++calls;
        if (err != aErrNone)
            aTime_MSSleep(kAutoNetworkPauseMS);
    }
    if (calls == kAutoNetworkTries)
        aDEBUG_TRACE(aDEBUG_MODULE, "BOO! Failed to autoNetwork\n");
    // A device that gave no address never clears the one we have.
    if (address != 0 && address != m_address)
        m_address = address;
    return err;
}

aErr Module::moduleQuery(const uint8_t *request, uint8_t length, uint8_t matchLength,
                         uint8_t *reply, uint8_t *replyLength) {
    aErr err =
        m_link->sendPacket(m_address, request[0], static_cast<uint8_t>(length - 1), request + 1);
    if (err != aErrNone)
        return err;
    *replyLength = matchLength;
    return m_link->receivePacket(m_address, request, replyLength, reply);
}

aErr Module::debug(const uint8_t *data, uint8_t length) {
    if (!isConnected())
        return aErrConnection;
    if (length > aPACKET_MAXDATA - 1 || (length > 0 && data == nullptr))
        return aErrParam;
    aErr err = m_link->sendPacket(m_address, cmdDEBUG, length, data);
    if (err != aErrNone)
        return err;
    const uint8_t match[1] = {cmdDEBUG};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 1;
    err = m_link->receivePacket(m_address, match, &replyLength, reply);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 1 || (length > 0 && std::memcmp(reply + 1, data, length) != 0))
        return aErrIO;
    return aErrNone;
}

aErr Module::getBuild(uint32_t *build) {
    if (build == nullptr)
        return aErrParam;
    if (!m_link)
        return aErrInitialization;
    if (!isConnected())
        return aErrConnection;
    const uint8_t request[2] = {cmdMODULE, cmdMODULE_BUILD};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    aErr err = moduleQuery(request, sizeof request, 2, reply, &length);
    if (err != aErrNone)
        return err;
    if (length != 6)
        return aErrSize;
    *build = static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
             static_cast<uint32_t>(reply[4]) << 8 | reply[5];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & 0x3F) != 0 || (flags & 0xC0) == 0xC0)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    const uint8_t request[6] = {cmdMODULE, cmdMODULE_HAS_UEI, command, option, index, flags};
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t length = 0;
    aErr err = moduleQuery(request, sizeof request, 1, reply, &length);
    if (err != aErrNone)
        return err;
    if (length != 6 || std::memcmp(reply, request, 5) != 0)
        return aErrUnknown;
    return reply[5];
}

aErr Module::classQuantity(uint8_t command, uint8_t *count) {
    const uint8_t request[3] = {cmdMODULE, cmdMODULE_CLASS_QUANTITY, command};
    return byteQuery(request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t *count) {
    const uint8_t request[4] = {cmdMODULE, cmdMODULE_SUBCLASS_QUANTITY, command, index};
    return byteQuery(request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t *group) {
    const uint8_t request[4] = {cmdMODULE, cmdMODULE_ENTITY_GROUP, command, index};
    return byteQuery(request, sizeof request, group);
}

// The answer repeats the whole request and adds one byte.
aErr Module::byteQuery(const uint8_t *request, uint8_t length, uint8_t *out) {
    if (out == nullptr)
        return aErrParam;
    *out = 0;
    if (!isConnected())
        return aErrConnection;
    uint8_t reply[aPACKET_MAXDATA];
    uint8_t replyLength = 0;
    aErr err = moduleQuery(request, length, 1, reply, &replyLength);
    if (err != aErrNone)
        return err;
    if (replyLength != length + 1 || std::memcmp(reply, request, length) != 0)
        return aErrUnknown;
    *out = reply[length];
    return aErrNone;
}

} // namespace Corvantis
} // namespace Veltrona
