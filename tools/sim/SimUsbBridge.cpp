#include "SimUsbBridge.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "kxusb_driver.h"

namespace kxsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPumpChunk = 4096;

sockaddr_un sAbstractAddress(const std::string& name, socklen_t* length) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract: a leading zero byte, then the name; nothing appears in the file system.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

}  // namespace

UsbBridge::UsbBridge(const ModuleConfig& config) : config_(config) {
    const TransportConfig& usb = config_.transport;
    const std::string serial =
        usb.serialString.empty() ? serialText(config_.serial) : usb.serialString;
    device_ = std::make_unique<kxlab::UsbLabDevice>(
        usb.directory, deviceConfig(serial),
        [this](const uint8_t* bytes, size_t length) { fromHost(bytes, length); });
    listenName_ = "kestrix-sim-usb-" + std::to_string(getpid()) + "-" +
                  std::to_string(reinterpret_cast<uintptr_t>(this));
}

UsbBridge::~UsbBridge() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        const uint64_t one = 1;
        (void)!write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

kxlab::DeviceConfig UsbBridge::deviceConfig(const std::string& serialString) const {
    kxlab::DeviceConfig device;
    device.serial = serialString;
    device.name = serialString.empty() ? "unnamed-" + serialText(config_.serial) : serialString;
    device.vendorId = KESTRIX_VENDOR_ID;
    device.productId = config_.transport.productId;
    device.outMaxPacket = config_.transport.outPacketSize;
    device.inMaxPacket = config_.transport.outPacketSize;
    device.interfaceClass = KXUSB_LINK_INTERFACE_CLASS;
    device.interfaceSubClass = KXUSB_LINK_INTERFACE_SUBCLASS;
    device.interfaceProtocol = KXUSB_LINK_INTERFACE_PROTOCOL;
    return device;
}

int UsbBridge::start() {
    socklen_t length = 0;
    const sockaddr_un address = sAbstractAddress(listenName_, &length);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(listener, 4) != 0) {
        const std::string reason = std::strerror(errno);
        if (listener >= 0) {
            close(listener);
        }
        throw std::runtime_error("usb link socket: " + reason);
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0 || !plugNow(std::nullopt)) {
        close(listener);
        throw std::runtime_error("cannot plug a USB device into " + config_.transport.directory);
    }
    thread_ = std::thread(&UsbBridge::run, this);
    return listener;
}

void UsbBridge::unplug() {
    command(Command::Unplug, std::nullopt);
}

bool UsbBridge::plug(std::optional<std::string> serialString) {
    return command(Command::Plug, std::move(serialString));
}

bool UsbBridge::plugged() const {
    return device_->plugged();
}

std::string UsbBridge::serialString() const {
    return device_->config().serial;
}

bool UsbBridge::command(Command what, std::optional<std::string> serialString) {
    std::unique_lock<std::mutex> hold(mutex_);
    done_.wait(hold, [&] { return pending_ == Command::None || stopping_; });
    if (stopping_) {
        return false;
    }
    pending_ = what;
    pendingSerial_ = std::move(serialString);
    const uint64_t ticket = finished_ + 1;
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
    done_.wait(hold, [&] { return finished_ >= ticket || stopping_; });
    return finished_ >= ticket && result_;
}

void UsbBridge::fromHost(const uint8_t* bytes, size_t length) {
    std::lock_guard<std::mutex> hold(mutex_);
    size_t done = 0;
    while (link_ >= 0 && done < length) {
        const ssize_t n = send(link_, bytes + done, length - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            return;  // the endpoint has gone; the bridge thread notices
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

bool UsbBridge::plugNow(const std::optional<std::string>& serialString) {
    if (device_->plugged()) {
        return true;
    }
    socklen_t length = 0;
    const sockaddr_un address = sAbstractAddress(listenName_, &length);
    // The endpoint's link first, so that nothing the host sends is lost.
    const int link = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (link < 0 || connect(link, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (link >= 0) {
            close(link);
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        link_ = link;
    }
    const bool plugged =
        serialString ? device_->replugAs(deviceConfig(*serialString)) : device_->plug();
    if (!plugged) {
        unplugNow();
    }
    return plugged;
}

void UsbBridge::unplugNow() {
    device_->unplug();  // no transfer runs from here on
    std::lock_guard<std::mutex> hold(mutex_);
    if (link_ >= 0) {
        shutdown(link_, SHUT_RDWR);
        close(link_);
        link_ = -1;
    }
}

void UsbBridge::run() {
    std::optional<Clock::time_point> replugAt;
    std::vector<uint8_t> buffer(kPumpChunk);
    for (;;) {
        int link;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            link = link_;  // only this thread changes it
        }
        int timeout = -1;
        if (replugAt) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(*replugAt - Clock::now());
            timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
        }
        pollfd waiting[2] = {{wakeFd_, POLLIN, 0}, {link, POLLIN, 0}};
        if (poll(waiting, 2, timeout) < 0 && errno != EINTR) {
            return;
        }
        if (waiting[0].revents != 0) {
            uint64_t count;
            (void)!read(wakeFd_, &count, sizeof count);
            std::unique_lock<std::mutex> hold(mutex_);
            if (stopping_) {
                hold.unlock();
                unplugNow();
                done_.notify_all();
                return;
            }
            const Command what = pending_;
            const std::optional<std::string> serial = pendingSerial_;
            hold.unlock();
            bool result = true;
            if (what == Command::Unplug) {
                replugAt.reset();
                unplugNow();
            } else if (what == Command::Plug) {
                replugAt.reset();
                result = plugNow(serial);
            }
            hold.lock();
            if (what != Command::None) {
                pending_ = Command::None;
                result_ = result;
                ++finished_;
                done_.notify_all();
            }
            continue;
        }
        if (link >= 0 && waiting[1].revents != 0) {
            const ssize_t n = read(link, buffer.data(), buffer.size());
            if (n > 0) {
                device_->toHost(buffer.data(), static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                // The endpoint ended the link: the module drops off the bus.
                unplugNow();
                if (config_.transport.replugMs > 0) {
                    replugAt = Clock::now() + std::chrono::milliseconds(config_.transport.replugMs);
                }
            }
        }
        if (replugAt && Clock::now() >= *replugAt) {
            replugAt.reset();
            const uint32_t serial = config_.transport.replugSerial;
            plugNow(serial != 0 ? std::optional<std::string>(serialText(serial)) : std::nullopt);
        }
    }
}

}  // namespace kxsim
