#include "usb_lab_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kxlab {

namespace {

std::vector<uint8_t> sReply(Status status, uint32_t length, const void* data = nullptr,
                            size_t dataLength = 0) {
    const Reply head{status, length};
    std::vector<uint8_t> reply(sizeof head + dataLength);
    std::memcpy(reply.data(), &head, sizeof head);
    if (dataLength > 0) {
        std::memcpy(reply.data() + sizeof head, data, dataLength);
    }
    return reply;
}

}  // namespace

bool UsbLabDevice::Faults::take(Status* out) {
    if (count == 0) {
        return false;
    }
    --count;
    *out = status;
    return true;
}

UsbLabDevice::UsbLabDevice(std::string directory, DeviceConfig config, HostBytes fromHost)
    : directory_(std::move(directory)),
      fromHost_(std::move(fromHost)),
      config_(std::move(config)) {}

UsbLabDevice::~UsbLabDevice() {
    unplug();
}

std::string UsbLabDevice::socketPath() const {
    return directory_ + "/" + (config_.name.empty() ? config_.serial : config_.name) +
           kSocketSuffix;
}

bool UsbLabDevice::plug() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (plugged_) {
        return true;
    }
    const std::string path = socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path || config_.serial.size() > kMaxSerial) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    unlink(path.c_str());  // left behind by a simulator that was killed
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 16) != 0 || pipe2(wake_, O_CLOEXEC) != 0) {
        close(fd);
        unlink(path.c_str());
        return false;
    }
    listenFd_ = fd;
    plugged_ = true;
    acceptor_ = std::thread(&UsbLabDevice::acceptLoop, this, listenFd_, wake_[0]);
    return true;
}

void UsbLabDevice::unplug() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!plugged_) {
            return;
        }
        unplugging_ = true;
    }
    changed_.notify_all();
    const char stop = 0;
    (void)!write(wake_[1], &stop, 1);
    acceptor_.join();
    close(listenFd_);
    close(wake_[0]);
    close(wake_[1]);
    listenFd_ = wake_[0] = wake_[1] = -1;
    unlink(socketPath().c_str());

    std::list<Connection> gone;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        for (Connection& c : open_) {
            shutdown(c.fd, SHUT_RDWR);  // ends the transfer threads' receives
        }
        gone.splice(gone.end(), open_);
    }
    for (Connection& c : gone) {
        c.thread.join();
        close(c.fd);
    }
    std::lock_guard<std::mutex> hold(mutex_);
    toHost_.clear();
    plugged_ = false;
    unplugging_ = false;
}

bool UsbLabDevice::replugAs(DeviceConfig config) {
    unplug();
    {
        std::lock_guard<std::mutex> hold(mutex_);
        config_ = std::move(config);
    }
    return plug();
}

bool UsbLabDevice::plugged() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return plugged_;
}

DeviceConfig UsbLabDevice::config() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return config_;
}

void UsbLabDevice::toHost(const uint8_t* bytes, size_t length) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        toHost_.insert(toHost_.end(), bytes, bytes + length);
    }
    changed_.notify_all();
}

void UsbLabDevice::failOut(Status status, unsigned count) {
    std::lock_guard<std::mutex> hold(mutex_);
    outFaults_ = {status, count};
}

void UsbLabDevice::failIn(Status status, unsigned count) {
    std::lock_guard<std::mutex> hold(mutex_);
    inFaults_ = {status, count};
}

std::vector<size_t> UsbLabDevice::outTransfers() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return outTransfers_;
}

unsigned UsbLabDevice::clearedHalts() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return clearedHalts_;
}

unsigned UsbLabDevice::connections() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return connections_;
}

void UsbLabDevice::reapLocked() {
    for (auto c = open_.begin(); c != open_.end();) {
        if (c->done) {
            c->thread.join();
            close(c->fd);
            c = open_.erase(c);
        } else {
            ++c;
        }
    }
}

void UsbLabDevice::acceptLoop(int listenFd, int wakeFd) {
    for (;;) {
        pollfd ready[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (ready[1].revents != 0) {
            return;
        }
        const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> hold(mutex_);
        reapLocked();
        ++connections_;
        Connection& c = open_.emplace_back(Connection{fd, {}, false});
        c.thread = std::thread(&UsbLabDevice::serve, this, &c);
    }
}

void UsbLabDevice::serve(Connection* connection) {
    std::vector<uint8_t> buffer(sizeof(Request) + kMaxTransfer);
    for (;;) {
        const ssize_t n = recv(connection->fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < static_cast<ssize_t>(sizeof(Request))) {
            break;  // closed by the client, dropped by an unplug, or garbage
        }
        Request request;
        std::memcpy(&request, buffer.data(), sizeof request);
        const std::vector<uint8_t> reply =
            answer(request, buffer.data() + sizeof request, n - sizeof request);
        if (send(connection->fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) {
            break;
        }
    }
    std::lock_guard<std::mutex> hold(mutex_);
    connection->done = true;
}

std::vector<uint8_t> UsbLabDevice::answer(const Request& request, const uint8_t* data,
                                          size_t length) {
    std::unique_lock<std::mutex> hold(mutex_);
    Status fault;
    switch (request.op) {
        case kOpDescribe: {
            DeviceDescription d{};
            d.vendorId = config_.vendorId;
            d.productId = config_.productId;
            d.bcdDevice = 0x0100;
            d.interfaceClass = config_.interfaceClass;
            d.interfaceSubClass = config_.interfaceSubClass;
            d.interfaceProtocol = config_.interfaceProtocol;
            d.interfaceNumber = 0;
            d.inEndpoint = kInEndpoint;
            d.outEndpoint = kOutEndpoint;
            d.endpointAttributes = 2;
            d.inMaxPacket = config_.inMaxPacket;
            d.outMaxPacket = config_.outMaxPacket;
            d.serialLength = static_cast<uint8_t>(config_.serial.size());
            std::memcpy(d.serial, config_.serial.data(), config_.serial.size());
            return sReply(kStatusSuccess, sizeof d, &d, sizeof d);
        }
        case kOpBulkOut: {
            if (request.endpoint != kOutEndpoint) {
                return sReply(kStatusNotFound, 0);
            }
            if (outFaults_.take(&fault)) {
                return sReply(fault, 0);
            }
            outTransfers_.push_back(length);
            hold.unlock();
            if (fromHost_) {
                fromHost_(data, length);
            }
            return sReply(kStatusSuccess, static_cast<uint32_t>(length));
        }
        case kOpBulkIn: {
            if (request.endpoint != kInEndpoint) {
                return sReply(kStatusNotFound, 0);
            }
            if (inFaults_.take(&fault)) {
                return sReply(fault, 0);
            }
            auto arrived = [this] { return !toHost_.empty() || unplugging_; };
            if (request.timeoutMs == 0) {
                changed_.wait(hold, arrived);
            } else {
                changed_.wait_for(hold, std::chrono::milliseconds(request.timeoutMs), arrived);
            }
            if (unplugging_) {
                return sReply(kStatusNoDevice, 0);
            }
            const size_t n = std::min<size_t>(request.length, toHost_.size());
            if (n == 0) {
                return sReply(kStatusTimeout, 0);
            }
            std::vector<uint8_t> bytes(toHost_.begin(), toHost_.begin() + n);
            toHost_.erase(toHost_.begin(), toHost_.begin() + n);
            return sReply(kStatusSuccess, static_cast<uint32_t>(n), bytes.data(), n);
        }
        case kOpClearHalt:
            ++clearedHalts_;
            return sReply(kStatusSuccess, 0);
        default:
            return sReply(kStatusIo, 0);
    }
}

}  // namespace kxlab
