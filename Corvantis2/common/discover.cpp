#include "discover.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <czmq.h>

#include "aDebug.h"
#include "aMulticast.h"
#include "unix_discovery.h"
#include "zBeaconInterface.h"

// Receives of the beacon search, each waiting at most the beacon receive time-out.
#define BEACON_RECEIVES 22
#define BEACON_RECEIVE_MS 100
#define BEACON_INTERVAL_MS 100

linkSpec *aLinkSpec_Create(uint32_t type) {
    linkSpec *spec = (linkSpec *)calloc(1, sizeof(linkSpec));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec *aLinkSpec_Copy(const linkSpec *spec) {
    if (!spec)
        return nullptr;
    linkSpec *copy = (linkSpec *)malloc(sizeof(linkSpec));
    if (copy)
        memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec **spec) {
    if (!spec || !*spec)
        return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}

static bool sIsLocal(uint32_t interfaceAddress) {
    return interfaceAddress == 0 || interfaceAddress == htonl(INADDR_LOOPBACK);
}

// Passes a record on unless it was reported already in this search (and, in local mode,
// unless it names another host). Returns whether the search goes on.
static bool sReport(aDiscoverySeen *seen, const linkSpec *spec, bool localOnly,
                    aDiscoveryModuleFoundProc callback, void *reference, uint8_t *found) {
    if (aDiscoverySeen_Check(seen, spec))
        return true;
    if (!localOnly)
        aDEBUG_TRACE(aDEBUG_DISCOVERY,
                     "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - "
                     "Model: %d\n",
                     spec->serial_num, spec->ip_port, spec->ip_address, spec->type, spec->model);
    if (localOnly && spec->ip_address != htonl(INADDR_LOOPBACK)) {
        aDEBUG_TRACE(aDEBUG_DISCOVERY, "We are in local mode, ignoring(2)\n");
        return true;
    }
    bool accepted = false;
    bool goOn = callback(spec, &accepted, reference);
    if (accepted && *found < 0xFF)
        ++*found;
    return goOn;
}

// A sharing server on this host holds a query port 9850 + n; it is found by the port being
// taken, and answers the query on 9950 + n.
static uint8_t _findLinkSpecs_multicast(aDiscoveryModuleFoundProc callback, void *reference) {
    uint32_t loopback = htonl(INADDR_LOOPBACK);
    uint32_t group = 0;
    inet_pton(AF_INET, aDISCOVERY_LOCAL_GROUP, &group);
    const uint8_t query[4] = {(uint8_t)(aDISCOVERY_LOCAL_MAGIC & 0xFF),
                              (uint8_t)(aDISCOVERY_LOCAL_MAGIC >> 8 & 0xFF),
                              (uint8_t)(aDISCOVERY_LOCAL_MAGIC >> 16 & 0xFF),
                              (uint8_t)(aDISCOVERY_LOCAL_MAGIC >> 24 & 0xFF)};
    uint8_t found = 0;
    aDiscoverySeen seen = {nullptr, 0, 0};
    bool goOn = true;
    for (int n = 0; goOn && n < aDISCOVERY_LOCAL_PORTS; ++n) {
        aMulticastRef probe =
            aMulticast_Create(loopback, group, (uint16_t)(aDISCOVERY_LOCAL_QUERY_PORT + n), false);
        if (probe) {
            aMulticast_Destroy(&probe);
            continue;
        }
        aMulticastRef receiver =
            aMulticast_Create(loopback, group, (uint16_t)(aDISCOVERY_LOCAL_ANSWER_PORT + n), false);
        aMulticastRef sender =
            aMulticast_Create(loopback, group, (uint16_t)(aDISCOVERY_LOCAL_QUERY_PORT + n), true);
        if (receiver && sender && aMulticast_Send(sender, query, sizeof(query)) > 0) {
            linkSpec spec;
            int length = aMulticast_Receive(receiver, (uint8_t *)&spec, sizeof(spec));
            if (length == (int)sizeof(spec)) {
                aDEBUG_TRACE(aDEBUG_DISCOVERY,
                             "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - "
                             "Type: %d\n",
                             spec.serial_num, spec.ip_port, spec.ip_address, spec.type);
                goOn = sReport(&seen, &spec, true, callback, reference, &found);
            } else if (length >= 0) {
                aDEBUG_TRACE(aDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n",
                             length);
            }
        }
        aMulticast_Destroy(&sender);
        aMulticast_Destroy(&receiver);
    }
    aDiscoverySeen_Free(&seen);
    return found;
}

static uint8_t _findLinkSpecs_beacon(aDiscoveryModuleFoundProc callback, void *reference) {
    zactor_t *beacon = zactor_new(zbeacon, nullptr);
    if (!beacon)
        return 0;
    uint8_t found = 0;
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char *hostname = zstr_recv(beacon);
    aDEBUG_TRACE(aDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                 hostname ? hostname : "", aDISCOVERY_BEACON_PORT);
    // An empty host name: the beacon found no interface to work on.
    if (hostname && *hostname) {
        zsock_send(beacon, "sbi", "PUBLISH", aDISCOVERY_BEACON_PREFIX,
                   strlen(aDISCOVERY_BEACON_PREFIX), BEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", (size_t)0);
        zsock_set_rcvtimeo(beacon, BEACON_RECEIVE_MS);

        aDiscoverySeen seen = {nullptr, 0, 0};
        bool goOn = true;
        for (int i = 0; goOn && i < BEACON_RECEIVES; ++i) {
            char *sender = zstr_recv(beacon);
            if (!sender)
                continue;
            zframe_t *content = zframe_recv(beacon);
            if (content && zframe_size(content) == sizeof(linkSpec)) {
                linkSpec spec;
                memcpy(&spec, zframe_data(content), sizeof(spec));
                goOn = sReport(&seen, &spec, false, callback, reference, &found);
            }
            zframe_destroy(&content);
            zstr_free(&sender);
        }
        aDiscoverySeen_Free(&seen);
        aDEBUG_TRACE(aDEBUG_DISCOVERY, "Done with discovery\n");
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zstr_free(&hostname);
    zactor_destroy(&beacon);
    return found;
}

uint8_t aDiscovery_Enumerate_aFabricModules(aDiscoveryModuleFoundProc callback, void *reference,
                                            uint32_t interfaceAddress) {
    if (!callback)
        return 0;
    bool local = sIsLocal(interfaceAddress);
    uint32_t addresses[aDISCOVERY_MAX_INTERFACES];
    uint32_t count = aDiscovery_GetIPv4Interfaces(addresses, aDISCOVERY_MAX_INTERFACES);
    aDEBUG_TRACE(aDEBUG_DISCOVERY, "aDiscovery_Enumerate_aFabricModules found count: %d\n", count);
    if (local || count == 0)
        return _findLinkSpecs_multicast(callback, reference);

    char text[INET_ADDRSTRLEN];
    if (!aDiscovery_ConvertIPv4Interface(interfaceAddress, text, sizeof(text)))
        return 0;
    aDEBUG_TRACE(aDEBUG_DISCOVERY, "New Interface: %s\n", text);
    if (!zBeaconInterface_backupSetAndLock(text))
        return 0;
    uint8_t found = _findLinkSpecs_beacon(callback, reference);
    zBeaconInterface_restoreAndUnlock();
    return found;
}

uint8_t aDiscovery_EnumerateModules(uint32_t type, aDiscoveryModuleFoundProc callback,
                                    void *reference, uint32_t interfaceAddress) {
    if (!callback)
        return 0;
    switch (type) {
    case USB:
        return aDiscovery_EnumerateUSBModules(callback, reference);
    case TCPIP:
        return aDiscovery_EnumerateTCPIPModules(callback, reference, interfaceAddress);
    case AFABRIC:
    case AFABRIC_USB:
    case AFABRIC_TCPIP:
    case AFABRIC_SERIAL:
        return aDiscovery_Enumerate_aFabricModules(callback, reference, interfaceAddress);
    default:
        return 0;
    }
}

namespace {
struct sFind {
    uint32_t serial;
    linkSpec *result;
};
} // namespace

static bool cbSNCallback(const linkSpec *spec, bool *accepted, void *reference) {
    sFind *find = (sFind *)reference;
    if (spec->serial_num != find->serial)
        return true;
    find->result = aLinkSpec_Copy(spec);
    *accepted = true;
    return false;
}

static bool cbFirstCallback(const linkSpec *spec, bool *accepted, void *reference) {
    sFind *find = (sFind *)reference;
    if (spec->serial_num == 0)
        return true;
    find->result = aLinkSpec_Copy(spec);
    *accepted = true;
    return false;
}

linkSpec *aDiscovery_FindModule(uint32_t type, uint32_t serial, uint32_t interfaceAddress) {
    sFind find = {serial, nullptr};
    aDiscovery_EnumerateModules(type, cbSNCallback, &find, interfaceAddress);
    return find.result;
}

linkSpec *aDiscovery_FindFirstModule(uint32_t type, uint32_t interfaceAddress) {
    sFind find = {0, nullptr};
    aDiscovery_EnumerateModules(type, cbFirstCallback, &find, interfaceAddress);
    return find.result;
}
