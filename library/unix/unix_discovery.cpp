#include "unix_discovery.h"

#include <arpa/inet.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "Kestrix-C.h"
#include "kxusb_driver.h"

namespace {

constexpr int kUsbSerialCapacity = 32;  // longest serial string read, in bytes
constexpr size_t kSerialDigits = 8;
constexpr uint8_t kDiscoveryRequestMarker = 1;

// The serial number of an "%08X" serial string; false for any other string.
bool sParseSerial(const char* text, uint32_t* serial) {
    if (std::strlen(text) != kSerialDigits) {
        return false;
    }
    for (size_t i = 0; i < kSerialDigits; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    *serial = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    return true;
}

// Calls back for the module behind device. False when the callback asks to stop.
bool sReportUsbDevice(libusb_device* device, aDiscoveryModuleFoundProc callback, void* ref,
                      uint32_t* matchedCount) {
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
        !is_kestrix_device(descriptor.idVendor, descriptor.idProduct)) {
        return true;
    }
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != LIBUSB_SUCCESS) {
        return true;  // held or not accessible: not reachable from here
    }
    bool goOn = true;
    unsigned char text[kUsbSerialCapacity + 1] = {};
    uint32_t serial = 0;
    if (descriptor.iSerialNumber != 0 &&
        libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text) >
            0 &&
        sParseSerial(reinterpret_cast<const char*>(text), &serial)) {
        linkSpec spec{};
        spec.type = USB;
        spec.serialNumber = serial;
        spec.usbId = serial;
        spec.model = descriptor.idProduct & 0xFF;
        bool matched = false;
        goOn = callback(&spec, &matched, ref);
        if (matched) {
            ++*matchedCount;
        }
    }
    libusb_close(handle);
    return goOn;
}

// Sends the 16-byte request to the module group out of the interface at address (0: the
// default one). False when it could not be sent.
bool sSendRequest(uint32_t address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return false;
    }
    const int on = 1;
    in_addr through{address};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_MODULE_PORT);
    inet_pton(AF_INET, aDISCOVERY_MODULE_GROUP, &group.sin_addr);
    uint8_t request[aDISCOVERY_DATAGRAM_SIZE] = {kDiscoveryRequestMarker};
    const bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                      (address == 0 || setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &through,
                                                  sizeof through) == 0) &&
                      sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                             sizeof group) == static_cast<ssize_t>(sizeof request);
    close(fd);
    return sent;
}

// The listener for replies on the interface at address (0: any); -1 when it cannot be made.
int sOpenListener(uint32_t address) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    const timeval timeout{aDISCOVERY_REPLY_TIMEOUT_MS / 1000, 0};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(aDISCOVERY_REPLY_PORT);
    local.sin_addr.s_addr = address;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint32_t sLittleEndian32(const uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

}  // namespace

uint32_t _aDiscovery_EnumerateUSB(aDiscoveryModuleFoundProc callback, void* ref) {
    libusb_context* context = Kestrix_libusb_context();
    libusb_device** list = nullptr;
    const ssize_t count = context != nullptr ? libusb_get_device_list(context, &list) : -1;
    if (count < 0) {
        return 0;
    }
    uint32_t matched = 0;
    for (ssize_t i = 0; i < count && sReportUsbDevice(list[i], callback, ref, &matched); ++i) {
    }
    libusb_free_device_list(list, 1);
    return matched;
}

bool _aDiscovery_ParseModuleReply(const uint8_t* reply, size_t length, uint32_t sender,
                                  linkSpec* spec) {
    if (reply == nullptr || spec == nullptr || length != aDISCOVERY_DATAGRAM_SIZE) {
        return false;
    }
    *spec = linkSpec{};
    spec->type = TCPIP;
    spec->module = spec->router = reply[1];
    spec->port = reply[2] | reply[3] << 8;
    spec->serialNumber = spec->routerSerialNumber = sLittleEndian32(reply + 4);
    spec->model = reply[12];
    spec->ipAddress = sender;
    return true;
}

uint32_t _aDiscovery_EnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    if (networkInterface == loopback) {
        networkInterface = 0;
    }
    const int listener = sOpenListener(networkInterface);
    if (listener < 0) {
        return 0;
    }
    uint32_t interfaces[aDISCOVERY_MAX_INTERFACES];
    const uint32_t count = networkInterface == 0
                               ? aDiscovery_GetIPv4Interfaces(interfaces, aDISCOVERY_MAX_INTERFACES)
                               : 0;
    bool requested = false;
    if (count == 0) {
        requested = sSendRequest(networkInterface);
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (interfaces[i] != loopback && interfaces[i] != 0) {
            requested = sSendRequest(interfaces[i]) || requested;
        }
    }
    uint32_t matched = 0;
    bool goOn = requested;
    while (goOn) {
        uint8_t reply[aDISCOVERY_DATAGRAM_SIZE + 1];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t got = recvfrom(listener, reply, sizeof reply, 0,
                                     reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (got < 0) {
            break;  // quiet for 2 s: everyone has answered
        }
        linkSpec spec;
        if (!_aDiscovery_ParseModuleReply(reply, static_cast<size_t>(got), sender.sin_addr.s_addr,
                                          &spec)) {
            continue;  // not a module's reply
        }
        bool isMatch = false;
        goOn = callback(&spec, &isMatch, ref);
        if (isMatch) {
            ++matched;
        }
    }
    close(listener);
    return matched;
}
