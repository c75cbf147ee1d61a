// One device on a link, known by its module address. A Module owns its Link, learns its
// address from the device (auto-networking), can share a router module's link to reach a
// device behind it, and asks the device a few module-level questions.
#ifndef _Module_H_
#define _Module_H_

#include <cstdint>
#include <memory>

#include "Link.h"

// Module command bytes.
#define cmdDEBUG 0x17  // echo test
#define cmdMODULE 0x49 // module queries
#define cmdMODULE_BUILD 0xFF
#define cmdMODULE_HAS_UEI 1
#define cmdMODULE_CLASS_QUANTITY 4
#define cmdMODULE_SUBCLASS_QUANTITY 5
#define cmdMODULE_ENTITY_GROUP 6

namespace Veltrona {
namespace Corvantis {

class Module {
public:
    // Networking mode on: every successful connection learns the module address.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool autoNetworking, uint8_t model);
    virtual ~Module();
    Module(const Module &) = delete;
    Module &operator=(const Module &) = delete;

    // serial 0: aErrParam.
    aErr connect(linkType type, uint32_t serial);
    aErr discoverAndConnect(linkType type, uint32_t serial);
    // aErrBusy when connected.
    aErr connectFromSpec(const linkSpec &spec);
    // Shares router's link; this module's address is set by the caller afterwards.
    aErr connectThroughLinkModule(Module *router);
    aErr reconnect();
    bool isConnected() const;
    aLinkStatus getStatus() const;
    aErr disconnect();

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    aErr getLinkSpecifier(linkSpec *out) const;
    aErr getConfig(aFabricConfig *out) const;
    aErr setConfig(const aFabricConfig &config);
    Link *getLink() const;
    void setNetworkingMode(bool on);

    // Echo test: aErrIO unless the device sends the length bytes of data back.
    aErr debug(const uint8_t *data, uint8_t length);
    aErr getBuild(uint32_t *build);
    // The device's verdict (0: supported). flags: 0, 0x40 (get) or 0x80 (set).
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t *count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t *count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t *group);

private:
    aErr _autoNetwork();
    // Sends one module query and takes its reply (match of matchLength request bytes).
    aErr moduleQuery(const uint8_t *request, uint8_t length, uint8_t matchLength, uint8_t *reply,
                     uint8_t *replyLength);
    // A module query whose answer is the request followed by one byte, stored in out.
    aErr byteQuery(const uint8_t *request, uint8_t length, uint8_t *out);

    std::unique_ptr<Link> m_link;
    uint8_t m_address;
    bool m_networking;
    uint8_t m_model;
};

} // namespace Corvantis
} // namespace Veltrona

#endif
