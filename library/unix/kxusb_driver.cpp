#include "kxusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "Kestrix-C.h"
#include "unix_file.h"

namespace {

constexpr uint16_t KXUSB_CHECK = 0xC5B0;

// A transfer of exactly 512 bytes ends on a full high-speed packet, which the module only
// takes as complete after a zero-length packet; sent as 511 bytes it ends short.
constexpr size_t KXUSB_AVOIDED_CHUNK = 512;
constexpr int KXUSB_NODE_MAX_WRITE_CALLS = 1000;

}  // namespace

struct kxusb_device {
    uint16_t check = KXUSB_CHECK;
    kxusbAccessKind kind;
    std::string nodeDirectory;
    std::string serial;

    // Written by the open and close, read by the reader and writer threads, and changed
    // by either of those when the device faults.
    std::atomic<kxusbState> state{usbStateCreated};
    // Consecutive I/O errors of both directions; saturates instead of wrapping.
    std::atomic<uint8_t> errorCount{0};

    int descriptor = -1;                     // node path
    libusb_device_handle* handle = nullptr;  // libusb path
    int interfaceNumber = -1;
    uint8_t outEndpoint = 0;
    uint8_t inEndpoint = 0;
    uint16_t outMaxPacket = 0;
    uint16_t inMaxPacket = 0;

    // Reader side only.
    uint8_t receive[KXUSB_RECEIVE_BUFFER_SIZE];
    size_t readIndex = 0;
    size_t pending = 0;

    kxusb_device(kxusbAccessKind k, const char* directory) : kind(k), nodeDirectory(directory) {}
};

namespace {

bool sValid(const kxusb_device* device) {
    return device != nullptr && device->check == KXUSB_CHECK;
}

bool sValidSerial(const char* serial) {
    return serial != nullptr &&
           strnlen(serial, KXUSB_MAX_SERIAL_STRING + 1) <= KXUSB_MAX_SERIAL_STRING;
}

// "<directory>/kestrix.<serial>"; false when it does not fit a path.
bool sNodePath(const std::string& directory, const char* serial, std::string* path) {
    *path = directory + "/kestrix." + serial;
    return path->size() <= aFILE_MAX_PATH;
}

// Passes the first four I/O errors in a row as harmless (a module being reset or a bus
// glitch); the fifth faults the device. Any other result ends the run of errors.
aErr sTolerate(kxusb_device* device, aErr result) {
    if (result != aErrIO) {
        device->errorCount = 0;
        return result;
    }
    const uint8_t before = device->errorCount;
    if (before < UINT8_MAX) {
        device->errorCount = before + 1;
    }
    if (before < KXUSB_TOLERATED_IO_ERRORS) {
        return aErrNone;
    }
    device->state = usbStateFaulted;
    return aErrIO;
}

// The state check both libusb directions make before a transfer; aErrNone when ready.
aErr sReadyForTransfer(const kxusb_device* device) {
    switch (device->state.load()) {
        case usbStateReady:
            return aErrNone;
        case usbStateClosed:
            return aErrConnection;
        case usbStateCreated:
        case usbStateOpened:
            return aErrNotReady;
        default:
            return aErrIO;
    }
}

// Finds the link interface in configuration 0 and records its number and endpoints.
bool sFindLinkInterface(kxusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(device->handle), 0, &config) !=
        LIBUSB_SUCCESS) {
        return false;
    }
    bool foundIn = false;
    bool foundOut = false;
    for (int i = 0; i < config->bNumInterfaces && !(foundIn && foundOut); ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting && !(foundIn && foundOut); ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass != KXUSB_LINK_INTERFACE_CLASS ||
                setting.bInterfaceSubClass != KXUSB_LINK_INTERFACE_SUBCLASS ||
                setting.bInterfaceProtocol != KXUSB_LINK_INTERFACE_PROTOCOL) {
                continue;
            }
            device->interfaceNumber = setting.bInterfaceNumber;
            for (int e = 0; e < setting.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                if ((endpoint.bmAttributes & 0x02) == 0) {
                    continue;  // control or isochronous: not a link endpoint
                }
                if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    device->inEndpoint = endpoint.bEndpointAddress;
                    device->inMaxPacket = endpoint.wMaxPacketSize;
                    foundIn = true;
                } else {
                    device->outEndpoint = endpoint.bEndpointAddress;
                    device->outMaxPacket = endpoint.wMaxPacketSize;
                    foundOut = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return foundIn && foundOut;
}

// True when the open module's serial string equals serial.
bool sSerialMatches(libusb_device_handle* handle, const libusb_device_descriptor& descriptor,
                    const char* serial) {
    if (descriptor.iSerialNumber == 0) {
        return false;
    }
    unsigned char text[KXUSB_MAX_SERIAL_STRING + 1] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                          KXUSB_MAX_SERIAL_STRING);
    return length >= 0 && std::strcmp(reinterpret_cast<const char*>(text), serial) == 0;
}

void sForgetInterface(kxusb_device* device) {
    device->interfaceNumber = -1;
    device->inEndpoint = device->outEndpoint = 0;
    device->inMaxPacket = device->outMaxPacket = 0;
    device->readIndex = device->pending = 0;
}

// Claims the link interface of the matched module; on failure the handle is closed.
aErr sClaim(kxusb_device* device) {
    aErr result = aErrNone;
    if (!sFindLinkInterface(device)) {
        result = aErrConfiguration;
    } else {
        switch (libusb_claim_interface(device->handle, device->interfaceNumber)) {
            case LIBUSB_SUCCESS:
                device->errorCount = 0;
                device->state = usbStateReady;
                return aErrNone;
            case LIBUSB_ERROR_BUSY:
            case LIBUSB_ERROR_NO_DEVICE:
                result = aErrBusy;
                break;
            case LIBUSB_ERROR_ACCESS:
                result = aErrPermission;
                break;
            default:
                result = aErrUnknown;
                break;
        }
    }
    libusb_close(device->handle);
    device->handle = nullptr;
    sForgetInterface(device);
    device->state = usbStateClosed;
    return result;
}

}  // namespace

bool is_kestrix_device(uint16_t vendorId, uint16_t productId) {
    return vendorId == KESTRIX_VENDOR_ID && (productId & KXUSB_NON_LINK_PRODUCT_BIT) == 0;
}

bool kxusb_is_kernel_driver_installed(uint32_t serialNumber) {
    return kxusb_is_kernel_driver_installed_in(KXUSB_NODE_DIRECTORY, serialNumber);
}

bool kxusb_is_kernel_driver_installed_in(const char* nodeDirectory, uint32_t serialNumber) {
    if (nodeDirectory == nullptr) {
        return false;
    }
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    std::string path;
    return sNodePath(nodeDirectory, serial, &path) && aFile_Exists(path.c_str());
}

kxusb_device* kxusb_create_usb(kxusbAccessKind kind) {
    return kxusb_create_usb_in(kind, KXUSB_NODE_DIRECTORY);
}

kxusb_device* kxusb_create_usb_in(kxusbAccessKind kind, const char* nodeDirectory) {
    if ((kind != kxusbAccessNode && kind != kxusbAccessLibusb) || nodeDirectory == nullptr) {
        return nullptr;
    }
    if (kind == kxusbAccessLibusb) {
        // Created here so that the first open does not pay for it. An open without a
        // context finds no module and says so.
        Kestrix_libusb_context();
    }
    try {
        return new kxusb_device(kind, nodeDirectory);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

aErr kxusb_destroy(kxusb_device** device) {
    if (device == nullptr || !sValid(*device)) {
        return aErrParam;
    }
    kxusb_device* d = *device;
    if (d->handle != nullptr) {
        kxusb_libusb_close(d);
    }
    if (d->descriptor >= 0) {
        kxusb_node_close(d);
    }
    d->check = 0;
    delete d;
    *device = nullptr;
    return aErrNone;
}

kxusbState kxusb_get_state(const kxusb_device* device) {
    return sValid(device) ? device->state.load() : usbStateClosed;
}

aErr kxusb_open_kestrix_device(kxusb_device* device, const char* serial) {
    if (!sValid(device)) {
        return aErrParam;
    }
    return device->kind == kxusbAccessLibusb ? kxusb_libusb_open(device, serial)
                                             : kxusb_node_open(device, serial);
}

aErr kxusb_write_to_device(kxusb_device* device, const uint8_t* bytes, size_t length) {
    if (!sValid(device)) {
        return aErrParam;
    }
    return device->kind == kxusbAccessLibusb ? kxusb_libusb_write(device, bytes, length)
                                             : kxusb_node_write(device, bytes, length);
}

aErr kxusb_get_from_device(kxusb_device* device, uint8_t* byte) {
    if (!sValid(device)) {
        return aErrParam;
    }
    return device->kind == kxusbAccessLibusb ? kxusb_libusb_get(device, byte)
                                             : kxusb_node_get(device, byte);
}

aErr kxusb_close_kestrix_device(kxusb_device* device) {
    if (!sValid(device)) {
        return aErrParam;
    }
    return device->kind == kxusbAccessLibusb ? kxusb_libusb_close(device)
                                             : kxusb_node_close(device);
}

aErr kxusb_libusb_open(kxusb_device* device, const char* serial) {
    if (!sValid(device) || !sValidSerial(serial)) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessLibusb) {
        return aErrMode;
    }
    if (device->handle != nullptr) {
        kxusb_libusb_close(device);
    }
    libusb_context* context = Kestrix_libusb_context();
    libusb_device** list = nullptr;
    const ssize_t count = context != nullptr ? libusb_get_device_list(context, &list) : -1;
    if (count < 0) {
        return aErrNotFound;  // no USB to search: callers go on to other transports
    }
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != LIBUSB_SUCCESS ||
            !is_kestrix_device(descriptor.idVendor, descriptor.idProduct)) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS) {
            continue;
        }
        if (!sSerialMatches(handle, descriptor, serial)) {
            libusb_close(handle);
            continue;
        }
        device->serial = serial;
        device->handle = handle;
        device->state = usbStateOpened;
        result = sClaim(device);
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr kxusb_libusb_write(kxusb_device* device, const uint8_t* bytes, size_t length) {
    if (!sValid(device) || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessLibusb) {
        return aErrMode;
    }
    if (aErr state = sReadyForTransfer(device); state != aErrNone) {
        return state;
    }
    aErr result = aErrNone;
    size_t sent = 0;
    int failures = 0;
    while (sent < length && failures < KXUSB_WRITE_MAX_FAILURES) {
        size_t chunk = std::min<size_t>(device->outMaxPacket, length - sent);
        if (chunk == KXUSB_AVOIDED_CHUNK) {
            chunk = KXUSB_AVOIDED_CHUNK - 1;
        }
        int done = 0;
        // libusb takes the buffer non-const but only reads an OUT buffer.
        const int status = libusb_bulk_transfer(
            device->handle, device->outEndpoint, const_cast<uint8_t*>(bytes + sent),
            static_cast<int>(chunk), &done, KXUSB_WRITE_TIMEOUT_MS);
        sent += std::clamp<size_t>(done, 0, chunk);
        // A transfer that moves nothing counts as failed, so a write always ends.
        if (status != LIBUSB_SUCCESS || done <= 0) {
            ++failures;
            if (status == LIBUSB_ERROR_PIPE &&
                libusb_clear_halt(device->handle, device->outEndpoint) != LIBUSB_SUCCESS) {
                result = aErrIO;
            }
        }
    }
    if (sent < length) {
        result = aErrWrite;
    }
    return sTolerate(device, result);
}

aErr kxusb_libusb_get(kxusb_device* device, uint8_t* byte) {
    if (!sValid(device) || byte == nullptr) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessLibusb) {
        return aErrMode;
    }
    aErr result = aErrNone;
    if (device->pending == 0) {
        if (aErr state = sReadyForTransfer(device); state != aErrNone) {
            return state;
        }
        int got = 0;
        const int status =
            libusb_bulk_transfer(device->handle, device->inEndpoint, device->receive,
                                 KXUSB_RECEIVE_BUFFER_SIZE, &got, KXUSB_READ_TIMEOUT_MS);
        got = std::clamp(got, 0, KXUSB_RECEIVE_BUFFER_SIZE);
        switch (status) {
            case LIBUSB_SUCCESS:
                break;
            case LIBUSB_ERROR_TIMEOUT:
                result = got > 0 ? aErrNone : aErrNotReady;
                break;
            case LIBUSB_ERROR_PIPE:
                libusb_clear_halt(device->handle, device->inEndpoint);
                got = 0;
                result = aErrNotReady;
                break;
            default:
                got = 0;
                result = aErrIO;
                break;
        }
        device->readIndex = 0;
        device->pending = static_cast<size_t>(got);
    }
    result = sTolerate(device, result);
    if (result != aErrNone) {
        return result;
    }
    // An empty transfer, or an error passed as harmless, delivered no byte: the caller
    // must not take one.
    if (device->pending == 0) {
        return aErrNotReady;
    }
    *byte = device->receive[device->readIndex++];
    --device->pending;
    return aErrNone;
}

aErr kxusb_libusb_close(kxusb_device* device) {
    if (!sValid(device)) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessLibusb || device->handle == nullptr) {
        return aErrMode;
    }
    const kxusbState state = device->state;
    if (state == usbStateReady || state == usbStateFaulted) {
        libusb_release_interface(device->handle, device->interfaceNumber);
    }
    libusb_close(device->handle);
    device->handle = nullptr;
    sForgetInterface(device);
    device->state = usbStateClosed;
    return aErrNone;
}

aErr kxusb_node_open(kxusb_device* device, const char* serial) {
    // A serial string is only ever a name inside the node directory.
    if (!sValid(device) || !sValidSerial(serial) || std::strchr(serial, '/') != nullptr) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessNode) {
        return aErrMode;
    }
    if (device->descriptor >= 0) {
        kxusb_node_close(device);
    }
    std::string path;
    if (!sNodePath(device->nodeDirectory, serial, &path)) {
        return aErrIO;
    }
    device->serial = serial;
    device->descriptor = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device->descriptor < 0) {
        return errno == EBUSY ? aErrBusy : aErrIO;
    }
    device->state = usbStateCreated;  // the node path knows no other open state
    return aErrNone;
}

aErr kxusb_node_write(kxusb_device* device, const uint8_t* bytes, size_t length) {
    if (!sValid(device) || (bytes == nullptr && length > 0)) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessNode) {
        return aErrMode;
    }
    if (device->descriptor < 0) {
        return aErrConnection;
    }
    size_t sent = 0;
    for (int call = 0; sent < length && call < KXUSB_NODE_MAX_WRITE_CALLS; ++call) {
        const ssize_t n = write(device->descriptor, bytes + sent, length - sent);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return aErrIO;
        }
        sent += static_cast<size_t>(n);
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr kxusb_node_get(kxusb_device* device, uint8_t* byte) {
    if (!sValid(device) || byte == nullptr) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessNode) {
        return aErrMode;
    }
    if (device->descriptor < 0) {
        return aErrConnection;
    }
    // Bounded like a libusb read, so that a reader thread polling a silent module still
    // notices when its link stops.
    pollfd ready = {device->descriptor, POLLIN, 0};
    const int polled = poll(&ready, 1, KXUSB_READ_TIMEOUT_MS);
    if (polled == 0 || (polled < 0 && errno == EINTR)) {
        return aErrNotReady;
    }
    const ssize_t n = read(device->descriptor, byte, 1);
    if (n == 1) {
        return aErrNone;
    }
    if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR) {
        return aErrNotReady;
    }
    return aErrIO;
}

aErr kxusb_node_close(kxusb_device* device) {
    if (!sValid(device)) {
        return aErrParam;
    }
    if (device->kind != kxusbAccessNode) {
        return aErrMode;
    }
    if (device->descriptor < 0) {
        return aErrConnection;
    }
    const int closed = close(device->descriptor);
    device->descriptor = -1;
    device->state = usbStateClosed;
    return closed == 0 ? aErrNone : aErrCancel;
}
