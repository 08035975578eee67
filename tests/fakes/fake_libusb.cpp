// The USB lab's stand-in for libusb-1.0, preloaded (LD_PRELOAD) into the unchanged
// library, the updater or a test. It implements the part of the libusb interface that
// the library uses, over the simulated devices that kestrix-sim or a test serves as Unix
// sockets in the directory named by KX_FAKE_USB_DIR (protocol: usb_lab_protocol.h).
//
// Unlike libusb it refuses loudly (abort with a message) when a device or handle of an
// ended context is used: such a use is a bug in the caller that real hardware would
// only reward with undefined behaviour.
#include <dirent.h>
#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "usb_lab_protocol.h"

static_assert(int{kxlab::kStatusIo} == int{LIBUSB_ERROR_IO});
static_assert(int{kxlab::kStatusNoDevice} == int{LIBUSB_ERROR_NO_DEVICE});
static_assert(int{kxlab::kStatusNotFound} == int{LIBUSB_ERROR_NOT_FOUND});
static_assert(int{kxlab::kStatusTimeout} == int{LIBUSB_ERROR_TIMEOUT});
static_assert(int{kxlab::kStatusPipe} == int{LIBUSB_ERROR_PIPE});

struct libusb_context {
    int users = 1;  // the default context counts its inits
};

struct libusb_device {
    libusb_context* context;
    std::atomic<int> references{1};
    std::string directory;
    std::string name;  // socket name without the suffix
    kxlab::DeviceDescription description;
    uint8_t address;
};

struct libusb_device_handle {
    libusb_device* device;
    int control = -1;  // OUT transfers, halt clears
    int in = -1;       // IN transfers
    int claim = -1;    // flock'ed claim file while the interface is claimed
    std::mutex controlLock;
    std::mutex inLock;
};

namespace {

constexpr int kDescribeTimeoutMs = 2000;
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;

std::mutex sContextsLock;
std::set<libusb_context*> sContexts;  // live ones
libusb_context* sDefault = nullptr;   // the context of a null argument

libusb_context* sResolve(libusb_context* context) {
    return context != nullptr ? context : sDefault;
}

void sRequireLive(libusb_context* context, const char* operation) {
    std::lock_guard<std::mutex> hold(sContextsLock);
    if (context == nullptr || sContexts.count(context) == 0) {
        std::fprintf(stderr, "fake libusb: %s on a context that was ended or never made\n",
                     operation);
        std::abort();
    }
}

std::string sSocketPath(const std::string& directory, const std::string& name) {
    return directory + "/" + name + kxlab::kSocketSuffix;
}

int sConnect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request and its reply on fd. Copies at most capacity reply data bytes to data and
// stores the count in *got. Returns the device's status, or LIBUSB_ERROR_NO_DEVICE when
// the connection is gone, or LIBUSB_ERROR_TIMEOUT when waitMs passed without a reply.
int sExchange(int fd, const kxlab::Request& request, const void* out, kxlab::Reply* reply,
              void* data, size_t capacity, size_t* got, int waitMs = -1) {
    iovec parts[2] = {{const_cast<kxlab::Request*>(&request), sizeof request},
                      {const_cast<void*>(out), out != nullptr ? request.length : 0}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    if (sendmsg(fd, &message, MSG_NOSIGNAL) < 0) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    pollfd ready{fd, POLLIN, 0};
    int polled;
    while ((polled = poll(&ready, 1, waitMs)) < 0 && errno == EINTR) {
    }
    if (polled == 0) {
        return LIBUSB_ERROR_TIMEOUT;
    }
    std::vector<uint8_t> buffer(sizeof(kxlab::Reply) + kxlab::kMaxTransfer);
    ssize_t n;
    while ((n = recv(fd, buffer.data(), buffer.size(), 0)) < 0 && errno == EINTR) {
    }
    if (n < static_cast<ssize_t>(sizeof(kxlab::Reply))) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    std::memcpy(reply, buffer.data(), sizeof *reply);
    const size_t carried = std::min(static_cast<size_t>(n) - sizeof *reply, capacity);
    if (data != nullptr) {
        std::memcpy(data, buffer.data() + sizeof *reply, carried);
    }
    if (got != nullptr) {
        *got = carried;
    }
    return reply->status;
}

// Asks the device behind a socket for its description; false when it does not answer.
bool sDescribe(const std::string& path, kxlab::DeviceDescription* description) {
    const int fd = sConnect(path);
    if (fd < 0) {
        return false;  // a socket left behind, or a device being unplugged
    }
    kxlab::Request request{kxlab::kOpDescribe, 0, 0, 0};
    kxlab::Reply reply;
    size_t got = 0;
    const int status = sExchange(fd, request, nullptr, &reply, description, sizeof *description,
                                 &got, kDescribeTimeoutMs);
    close(fd);
    return status == LIBUSB_SUCCESS && got == sizeof *description &&
           description->serialLength <= kxlab::kMaxSerial;
}

bool sConnected(int fd) {
    pollfd state{fd, 0, 0};
    return poll(&state, 1, 0) == 0;  // any event on an idle connection is a hang-up
}

struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interface;
    libusb_interface_descriptor setting;
    libusb_endpoint_descriptor endpoints[2];
};

}  // namespace

int libusb_init(libusb_context** context) {
    std::lock_guard<std::mutex> hold(sContextsLock);
    if (context == nullptr) {
        if (sDefault != nullptr) {
            ++sDefault->users;
        } else {
            sDefault = new libusb_context;
            sContexts.insert(sDefault);
        }
        return LIBUSB_SUCCESS;
    }
    *context = new libusb_context;
    sContexts.insert(*context);
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context* context) {
    std::lock_guard<std::mutex> hold(sContextsLock);
    libusb_context* c = context != nullptr ? context : sDefault;
    if (c == nullptr || sContexts.count(c) == 0) {
        return;
    }
    if (c == sDefault && --c->users > 0) {
        return;
    }
    if (c == sDefault) {
        sDefault = nullptr;
    }
    sContexts.erase(c);
    delete c;
}

int libusb_set_option(libusb_context*, enum libusb_option, ...) {
    return LIBUSB_SUCCESS;
}

const char* libusb_error_name(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return "LIBUSB_SUCCESS";
        case LIBUSB_ERROR_IO:
            return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM:
            return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS:
            return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE:
            return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND:
            return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY:
            return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT:
            return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_PIPE:
            return "LIBUSB_ERROR_PIPE";
        default:
            return "LIBUSB_ERROR_OTHER";
    }
}

const char* libusb_strerror(int code) {
    return libusb_error_name(code);
}

ssize_t libusb_get_device_list(libusb_context* context, libusb_device*** list) {
    libusb_context* c = sResolve(context);
    sRequireLive(c, "libusb_get_device_list");
    if (list == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    std::vector<std::string> names;
    const char* directory = std::getenv(kxlab::kDirectoryVariable);
    if (DIR* d = directory != nullptr ? opendir(directory) : nullptr) {
        const std::string suffix = kxlab::kSocketSuffix;
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(name.substr(0, name.size() - suffix.size()));
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());  // a stable order, as a bus walk has
    std::vector<libusb_device*> found;
    for (const std::string& name : names) {
        kxlab::DeviceDescription description;
        if (!sDescribe(sSocketPath(directory, name), &description)) {
            continue;
        }
        found.push_back(new libusb_device{
            c, {1}, directory, name, description, static_cast<uint8_t>(found.size() + 1)});
    }
    *list = static_cast<libusb_device**>(std::calloc(found.size() + 1, sizeof(libusb_device*)));
    std::copy(found.begin(), found.end(), *list);
    return static_cast<ssize_t>(found.size());
}

libusb_device* libusb_ref_device(libusb_device* device) {
    ++device->references;
    return device;
}

void libusb_unref_device(libusb_device* device) {
    if (device != nullptr && --device->references == 0) {
        delete device;
    }
}

void libusb_free_device_list(libusb_device** list, int unref) {
    if (list == nullptr) {
        return;
    }
    if (unref) {
        for (libusb_device** d = list; *d != nullptr; ++d) {
            libusb_unref_device(*d);
        }
    }
    std::free(list);
}

uint8_t libusb_get_bus_number(libusb_device*) {
    return 1;
}

uint8_t libusb_get_device_address(libusb_device* device) {
    return device->address;
}

int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* out) {
    const kxlab::DeviceDescription& d = device->description;
    *out = {};
    out->bLength = LIBUSB_DT_DEVICE_SIZE;
    out->bDescriptorType = LIBUSB_DT_DEVICE;
    out->bcdUSB = 0x0200;
    out->bMaxPacketSize0 = 64;
    out->idVendor = d.vendorId;
    out->idProduct = d.productId;
    out->bcdDevice = d.bcdDevice;
    out->iManufacturer = kManufacturerIndex;
    out->iProduct = kProductIndex;
    out->iSerialNumber = d.serialLength > 0 ? kSerialIndex : 0;
    out->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                 libusb_config_descriptor** config) {
    if (index != 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    const kxlab::DeviceDescription& d = device->description;
    auto block = new ConfigBlock{};
    block->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    block->config.bDescriptorType = LIBUSB_DT_CONFIG;
    block->config.bNumInterfaces = 1;
    block->config.bConfigurationValue = 1;
    block->config.interface = &block->interface;
    block->interface.altsetting = &block->setting;
    block->interface.num_altsetting = 1;
    block->setting.bLength = LIBUSB_DT_INTERFACE_SIZE;
    block->setting.bDescriptorType = LIBUSB_DT_INTERFACE;
    block->setting.bInterfaceNumber = d.interfaceNumber;
    block->setting.bNumEndpoints = 2;
    block->setting.bInterfaceClass = d.interfaceClass;
    block->setting.bInterfaceSubClass = d.interfaceSubClass;
    block->setting.bInterfaceProtocol = d.interfaceProtocol;
    block->setting.endpoint = block->endpoints;
    const uint8_t addresses[2] = {d.inEndpoint, d.outEndpoint};
    const uint16_t sizes[2] = {d.inMaxPacket, d.outMaxPacket};
    for (int e = 0; e < 2; ++e) {
        block->endpoints[e].bLength = LIBUSB_DT_ENDPOINT_SIZE;
        block->endpoints[e].bDescriptorType = LIBUSB_DT_ENDPOINT;
        block->endpoints[e].bEndpointAddress = addresses[e];
        block->endpoints[e].bmAttributes = d.endpointAttributes;
        block->endpoints[e].wMaxPacketSize = sizes[e];
    }
    *config = &block->config;
    return LIBUSB_SUCCESS;
}

int libusb_get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(device, 0, config);
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    delete reinterpret_cast<ConfigBlock*>(config);  // config is the block's first member
}

int libusb_open(libusb_device* device, libusb_device_handle** handle) {
    sRequireLive(device->context, "libusb_open");
    const std::string path = sSocketPath(device->directory, device->name);
    const int control = sConnect(path);
    const int in = control >= 0 ? sConnect(path) : -1;
    if (in < 0) {
        if (control >= 0) {
            close(control);
        }
        return LIBUSB_ERROR_NO_DEVICE;
    }
    auto h = new libusb_device_handle;
    h->device = libusb_ref_device(device);
    h->control = control;
    h->in = in;
    *handle = h;
    return LIBUSB_SUCCESS;
}

void libusb_close(libusb_device_handle* handle) {
    if (handle == nullptr) {
        return;
    }
    if (handle->claim >= 0) {
        close(handle->claim);
    }
    close(handle->control);
    close(handle->in);
    libusb_unref_device(handle->device);
    delete handle;
}

libusb_device* libusb_get_device(libusb_device_handle* handle) {
    return handle->device;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                       unsigned char* data, int length) {
    if (data == nullptr || length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const kxlab::DeviceDescription& d = handle->device->description;
    std::string text;
    if (index == kManufacturerIndex) {
        text = "Kestrix lab";
    } else if (index == kProductIndex) {
        text = "Simulated module";
    } else if (index == kSerialIndex && d.serialLength > 0) {
        text.assign(d.serial, d.serialLength);
    } else {
        return LIBUSB_ERROR_PIPE;  // a device stalls a request for a string it lacks
    }
    const size_t n = std::min(text.size(), static_cast<size_t>(length - 1));
    std::memcpy(data, text.data(), n);
    data[n] = 0;
    return static_cast<int>(n);
}

int libusb_claim_interface(libusb_device_handle* handle, int number) {
    sRequireLive(handle->device->context, "libusb_claim_interface");
    if (number != handle->device->description.interfaceNumber) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    if (!sConnected(handle->control)) {
        return LIBUSB_ERROR_NO_DEVICE;
    }
    if (handle->claim >= 0) {
        return LIBUSB_SUCCESS;
    }
    const std::string path =
        handle->device->directory + "/" + handle->device->name + kxlab::kClaimSuffix;
    const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        return LIBUSB_ERROR_ACCESS;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return LIBUSB_ERROR_BUSY;
    }
    handle->claim = fd;
    return LIBUSB_SUCCESS;
}

int libusb_release_interface(libusb_device_handle* handle, int number) {
    if (number != handle->device->description.interfaceNumber || handle->claim < 0) {
        return LIBUSB_ERROR_NOT_FOUND;
    }
    close(handle->claim);
    handle->claim = -1;
    return LIBUSB_SUCCESS;
}

int libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    sRequireLive(handle->device->context, "libusb_clear_halt");
    std::lock_guard<std::mutex> hold(handle->controlLock);
    kxlab::Request request{kxlab::kOpClearHalt, endpoint, 0, 0};
    kxlab::Reply reply;
    return sExchange(handle->control, request, nullptr, &reply, nullptr, 0, nullptr);
}

int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeout) {
    sRequireLive(handle->device->context, "libusb_bulk_transfer");
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (length < 0 || static_cast<uint32_t>(length) > kxlab::kMaxTransfer ||
        (data == nullptr && length > 0)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    const bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    kxlab::Request request{in ? kxlab::kOpBulkIn : kxlab::kOpBulkOut, endpoint,
                           static_cast<uint32_t>(length), timeout};
    kxlab::Reply reply{};
    size_t got = 0;
    int status;
    if (in) {
        std::lock_guard<std::mutex> hold(handle->inLock);
        status = sExchange(handle->in, request, nullptr, &reply, data, length, &got);
    } else {
        std::lock_guard<std::mutex> hold(handle->controlLock);
        status = sExchange(handle->control, request, data, &reply, nullptr, 0, nullptr);
        got = std::min<size_t>(reply.length, length);
    }
    if (transferred != nullptr && status != LIBUSB_ERROR_NO_DEVICE) {
        *transferred = static_cast<int>(got);
    }
    return status;
}

int libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint,
                              unsigned char* data, int length, int* transferred,
                              unsigned int timeout) {
    return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}
