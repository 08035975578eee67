// kestrix-sim's USB personality: a simulated module attached by USB through the USB lab
// (usb_lab_protocol.h). The bridge plugs a lab device into the lab directory and joins
// it to the module's endpoint by a local stream socket: the endpoint accepts and serves
// that socket exactly as it serves a TCP connection, and the bridge moves the bytes of
// the device's OUT transfers into it and what the module sends into the device's IN
// transfers.
//
// When the endpoint ends the link (a "close" fault, as a module restarting does), the
// device is unplugged, and with "replug_ms" set it comes back after that long, under
// "replug_serial" when given (a module's loader answers as DEADDEAD). Tests can also
// unplug and plug it back in themselves.
#ifndef KESTRIX_SIM_SIMUSBBRIDGE_H
#define KESTRIX_SIM_SIMUSBBRIDGE_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "SimConfig.h"
#include "usb_lab_device.h"

namespace kxsim {

class UsbBridge {
  public:
    explicit UsbBridge(const ModuleConfig& config);
    ~UsbBridge();  // unplugs
    UsbBridge(const UsbBridge&) = delete;
    UsbBridge& operator=(const UsbBridge&) = delete;

    // Makes the listening socket the endpoint accepts the device's link from, plugs the
    // device in and starts moving bytes. The endpoint owns the returned descriptor. Throws
    // std::runtime_error when the socket or the device cannot be made.
    int start();

    // Unplugs the device; the endpoint sees its link end. Returns once the device is gone.
    void unplug();
    // Plugs the device back in, under serialString when given. Returns once it is there;
    // false when it cannot be plugged in.
    bool plug(std::optional<std::string> serialString = std::nullopt);
    bool plugged() const;
    // The serial string the device shows now.
    std::string serialString() const;
    kxlab::UsbLabDevice& device() { return *device_; }

  private:
    enum class Command { None, Unplug, Plug };

    void run();
    // On the bridge thread: plugs in (connecting a new link to the endpoint) / unplugs.
    bool plugNow(const std::optional<std::string>& serialString);
    void unplugNow();
    // Runs one command on the bridge thread and waits for its result.
    bool command(Command what, std::optional<std::string> serialString);
    void fromHost(const uint8_t* bytes, size_t length);
    kxlab::DeviceConfig deviceConfig(const std::string& serialString) const;

    const ModuleConfig config_;
    std::unique_ptr<kxlab::UsbLabDevice> device_;
    std::string listenName_;  // abstract socket name, unique to this bridge
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable done_;
    int link_ = -1;  // the bridge's end of the endpoint's link; written under mutex_
    bool stopping_ = false;
    Command pending_ = Command::None;
    std::optional<std::string> pendingSerial_;
    bool result_ = false;
    uint64_t finished_ = 0;  // commands done, for the waiters
    std::thread thread_;
};

}  // namespace kxsim

#endif
