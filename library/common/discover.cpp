#include "discover.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <vector>

#include "aMulticast.h"
#include "unix_discovery.h"
#include "zBeaconInterface.h"

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// The servers already reported during one networked enumeration. A server answers every
// beacon and every probe, so each is reported only the first time.
class SeenList {
  public:
    // True, and remembered, when no earlier spec had the same type, serial number,
    // address and port.
    bool isNew(const linkSpec& spec) {
        for (const linkSpec& s : seen_) {
            if (s.type == spec.type && s.serialNumber == spec.serialNumber &&
                s.ipAddress == spec.ipAddress && s.port == spec.port) {
                return false;
            }
        }
        seen_.push_back(spec);
        return true;
    }

  private:
    std::vector<linkSpec> seen_;
};

// Hands spec to the callback, counting a match. False when the callback asks to stop.
bool sReport(const linkSpec& spec, aDiscoveryModuleFoundProc callback, void* ref,
             uint32_t* matched) {
    bool isMatch = false;
    const bool goOn = callback(&spec, &isMatch, ref);
    if (isMatch) {
        ++*matched;
    }
    return goOn;
}

// Beacons "Kestrix2-Discovery" on the interface CZMQ is set to and reports the servers
// whose answers arrive within 22 receive attempts of 100 ms.
uint32_t sEnumerateBeacon(aDiscoveryModuleFoundProc callback, void* ref) {
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (beacon == nullptr) {
        return 0;
    }
    uint32_t matched = 0;
    zsock_send(beacon, "si", "CONFIGURE", aDISCOVERY_BEACON_PORT);
    char* host = zstr_recv(beacon);
    const bool configured = host != nullptr && host[0] != '\0';  // "" when UDP failed
    zstr_free(&host);
    if (configured) {
        const char text[] = aDISCOVERY_BEACON_TEXT;
        zsock_send(beacon, "sbi", "PUBLISH", text, sizeof text - 1, aDISCOVERY_BEACON_INTERVAL_MS);
        zsock_send(beacon, "sb", "SUBSCRIBE", "", 0);
        zsock_set_rcvtimeo(beacon, aDISCOVERY_BEACON_INTERVAL_MS);
        SeenList seen;
        bool goOn = true;
        for (int attempt = 0; attempt < aDISCOVERY_BEACON_ATTEMPTS && goOn; ++attempt) {
            char* sender = zstr_recv(beacon);
            if (sender == nullptr) {
                continue;  // quiet for 100 ms
            }
            zframe_t* payload = zframe_recv(beacon);
            linkSpec spec;
            // Anything but a whole spec (our own beacon among them) is not an answer.
            if (payload != nullptr && zframe_size(payload) == sizeof spec) {
                std::memcpy(&spec, zframe_data(payload), sizeof spec);
                if (seen.isNew(spec)) {
                    goOn = sReport(spec, callback, ref, &matched);
                }
            }
            zframe_destroy(&payload);
            zstr_free(&sender);
        }
        zstr_sendx(beacon, "SILENCE", nullptr);
        zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    }
    zactor_destroy(&beacon);
    return matched;
}

// Asks each local server on the loopback interface for its spec. A server holds its
// request port, so a port that can still be bound has no server behind it.
uint32_t sEnumerateLocal(aDiscoveryModuleFoundProc callback, void* ref) {
    uint32_t matched = 0;
    SeenList seen;
    bool goOn = true;
    for (uint16_t n = 0; n < aDISCOVERY_LOCAL_PORTS && goOn; ++n) {
        const uint16_t requestPort = aDISCOVERY_LOCAL_REQUEST_PORT + n;
        aMulticast* probe =
            aMulticast_Create(kLoopback, aDISCOVERY_LOCAL_GROUP, requestPort, aMulticastReceiver);
        if (probe != nullptr) {
            aMulticast_Destroy(&probe);
            continue;
        }
        aMulticast* answers =
            aMulticast_Create(kLoopback, aDISCOVERY_LOCAL_GROUP, aDISCOVERY_LOCAL_ANSWER_PORT + n,
                              aMulticastReceiver);
        aMulticast* request =
            aMulticast_Create(kLoopback, aDISCOVERY_LOCAL_GROUP, requestPort, aMulticastSender);
        const uint32_t word = aDISCOVERY_LOCAL_REQUEST;  // in this host's byte order
        uint8_t bytes[sizeof word];
        std::memcpy(bytes, &word, sizeof word);
        uint8_t answer[sizeof(linkSpec) + 1];
        if (answers != nullptr && request != nullptr &&
            aMulticast_Send(request, bytes, sizeof bytes) == static_cast<int>(sizeof bytes) &&
            aMulticast_Receive(answers, answer, sizeof answer) ==
                static_cast<int>(sizeof(linkSpec))) {
            linkSpec spec;
            std::memcpy(&spec, answer, sizeof spec);
            if (spec.ipAddress == kLoopback && seen.isNew(spec)) {
                goOn = sReport(spec, callback, ref, &matched);
            }
        }
        aMulticast_Destroy(&answers);
        aMulticast_Destroy(&request);
    }
    return matched;
}

struct FindRequest {
    linkSpec* spec;  // serialNumber: the one wanted, or 0 for any non-zero one
};

bool sFindCallback(const linkSpec* found, bool* matched, void* ref) {
    auto request = static_cast<FindRequest*>(ref);
    const uint32_t wanted = request->spec->serialNumber;
    if (found->serialNumber == 0 || (wanted != 0 && found->serialNumber != wanted)) {
        return true;
    }
    std::memcpy(request->spec, found, sizeof *found);
    *matched = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (spec == nullptr) {
        return nullptr;
    }
    spec->serialNumber = serialNumber;
    FindRequest request{spec};
    if (aDiscovery_EnumerateModules(type, sFindCallback, &request, networkInterface) == 0) {
        aLinkSpec_Destroy(&spec);
    }
    return spec;
}

}  // namespace

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                     uint32_t networkInterface) {
    if (callback == nullptr) {
        return 0;
    }
    switch (type) {
        case USB:
            return _aDiscovery_EnumerateUSB(callback, ref);
        case TCPIP:
            return _aDiscovery_EnumerateTCPIP(callback, ref, networkInterface);
        case AWEAVE:
        case AWEAVE_USB:
        case AWEAVE_TCPIP:
        case AWEAVE_SERIAL:
            return aDiscovery_Enumerate_aWeaveModules(callback, ref, networkInterface);
        default:
            return 0;
    }
}

uint32_t aDiscovery_Enumerate_aWeaveModules(aDiscoveryModuleFoundProc callback, void* ref,
                                            uint32_t networkInterface) {
    if (callback == nullptr) {
        return 0;
    }
    const bool localOnly = networkInterface == 0 || networkInterface == kLoopback;
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    if (localOnly || aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES) == 0) {
        return sEnumerateLocal(callback, ref);
    }
    char text[INET_ADDRSTRLEN];
    if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) == 0 ||
        !zBeaconInterface_backupSetAndLock(text)) {
        return 0;
    }
    const uint32_t matched = sEnumerateBeacon(callback, ref);
    zBeaconInterface_restoreAndUnlock();
    return matched;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return serialNumber != 0 ? sFind(type, serialNumber, networkInterface) : nullptr;
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, networkInterface);
}

uint32_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, uint32_t capacity) {
    if (addresses == nullptr || capacity == 0) {
        return 0;
    }
    ziflist_t* list = ziflist_new();
    if (list == nullptr) {
        return 0;
    }
    uint32_t count = 0;
    for (const char* name = ziflist_first(list); name != nullptr && count < capacity;
         name = ziflist_next(list)) {
        in_addr address;
        if (inet_pton(AF_INET, ziflist_address(list), &address) == 1) {
            addresses[count++] = address.s_addr;
        }
    }
    ziflist_destroy(&list);
    return count;
}

size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t size) {
    if (buffer == nullptr || size < INET_ADDRSTRLEN) {
        return 0;
    }
    const in_addr in{address};
    return inet_ntop(AF_INET, &in, buffer, static_cast<socklen_t>(size)) != nullptr
               ? std::strlen(buffer)
               : 0;
}
