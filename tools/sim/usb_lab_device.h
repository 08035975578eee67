// One simulated USB device of the USB lab (usb_lab_protocol.h): a socket in the lab
// directory that the libusb stand-in enumerates, opens and runs transfers on. What the
// device does with the bytes is its owner's business: host bytes arrive through a
// callback, and bytes for the host are queued with toHost. The device can be unplugged,
// plugged back in, and plugged in under a different identity, and its transfers can be
// made to fail.
#ifndef KESTRIX_SIM_USB_LAB_DEVICE_H
#define KESTRIX_SIM_USB_LAB_DEVICE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_lab_protocol.h"

namespace kxlab {

struct DeviceConfig {
    std::string serial;  // the serial-number string, at most 64 characters
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t outMaxPacket = 64;
    uint16_t inMaxPacket = 64;
    uint8_t interfaceClass = 255;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::string name;  // socket name in the directory; empty: the serial string
};

class UsbLabDevice {
  public:
    // Called on a transfer thread with the bytes of each OUT transfer that succeeds.
    using HostBytes = std::function<void(const uint8_t* bytes, size_t length)>;

    UsbLabDevice(std::string directory, DeviceConfig config, HostBytes fromHost);
    ~UsbLabDevice();  // unplugs
    UsbLabDevice(const UsbLabDevice&) = delete;
    UsbLabDevice& operator=(const UsbLabDevice&) = delete;

    // Makes the device appear in the directory. False when its socket cannot be made.
    bool plug();
    // Makes it disappear: the socket goes, open handles see the device as gone, and bytes
    // still queued for the host are dropped. Not to be called from the HostBytes callback.
    void unplug();
    // Unplugs, takes the new identity and plugs in again, as a module that restarts into
    // its loader does.
    bool replugAs(DeviceConfig config);
    bool plugged() const;
    DeviceConfig config() const;

    // Queues bytes for the host's IN transfers.
    void toHost(const uint8_t* bytes, size_t length);

    // The next count OUT (IN) transfers fail with status and move no byte.
    void failOut(Status status, unsigned count);
    void failIn(Status status, unsigned count);

    // Sizes of the OUT transfers taken so far, oldest first.
    std::vector<size_t> outTransfers() const;
    // Halt clears and connections received so far.
    unsigned clearedHalts() const;
    unsigned connections() const;

  private:
    struct Connection {
        int fd;
        std::thread thread;
        bool done = false;
    };
    struct Faults {
        Status status = kStatusSuccess;
        unsigned count = 0;
        bool take(Status* out);
    };

    void acceptLoop(int listenFd, int wakeFd);
    void serve(Connection* connection);
    // Builds the reply to one request; may wait for IN data.
    std::vector<uint8_t> answer(const Request& request, const uint8_t* data, size_t length);
    void reapLocked();
    std::string socketPath() const;

    const std::string directory_;
    const HostBytes fromHost_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    DeviceConfig config_;
    bool plugged_ = false;
    bool unplugging_ = false;
    std::deque<uint8_t> toHost_;
    Faults outFaults_;
    Faults inFaults_;
    std::vector<size_t> outTransfers_;
    unsigned clearedHalts_ = 0;
    unsigned connections_ = 0;
    std::list<Connection> open_;

    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread acceptor_;
};

}  // namespace kxlab

#endif
