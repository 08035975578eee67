// Where the host reaches one simulated module: a TCP listener (one link per accepted
// connection, accepting again after a drop) or a pseudo-terminal (one link for the whole
// run). One thread per endpoint runs the link: it reads packets, has the module answer
// them, applies the faults, sends heartbeats and whatever a test injects.
#ifndef KESTRIX_SIM_SIMENDPOINT_H
#define KESTRIX_SIM_SIMENDPOINT_H

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "SimFaults.h"
#include "SimFraming.h"
#include "SimLog.h"
#include "SimModule.h"
#include "SimUsbBridge.h"

namespace kxsim {

class Endpoint {
  public:
    Endpoint(const ModuleConfig& config, Log& log);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // Opens the listener or the pseudo-terminal and starts the thread. Throws
    // std::runtime_error when the transport cannot be opened.
    void start();
    // Ends the link and joins the thread; the transport closes with the endpoint.
    void stop();

    Module& module() { return module_; }
    const Module& module() const { return module_; }
    // TCP: the port listened on. Serial: the pseudo-terminal the host opens.
    uint16_t port() const { return port_; }
    const std::string& serialPath() const { return serialPath_; }
    // USB: the bridge to the device in the USB lab; null for other transports.
    UsbBridge* usb() { return usb_.get(); }
    // This endpoint's entry in the ready line.
    nlohmann::json describe() const;

    // Sends bytes as they are / packet framed, on the current link or, while there is
    // none, on the next.
    void injectRaw(std::vector<uint8_t> bytes);
    void injectPacket(const Packet& packet);

  private:
    void openTcp();
    void openSerial();
    void openUsb();
    void run();
    // Runs one link on fd until the peer goes, a close fault or stop.
    void serve(int fd);
    // Handles one packet from the host; false when the link is to close.
    bool handle(int fd, const Packet& request);
    bool sendReply(int fd, const Packet& reply);
    bool sendPacket(int fd, const Packet& packet, const std::optional<Corruption>& corruption);
    // Writes all bytes; false when the peer is gone or the endpoint stops.
    bool sendWire(int fd, const std::vector<uint8_t>& bytes);
    bool sendInjected(int fd);
    // Waits ms without reading; false when the endpoint stops meanwhile.
    bool pause(uint32_t ms);
    void noteFault(const std::string& name);
    void wake();

    const std::string name_;
    Module module_;
    Log& log_;
    Faults faults_;
    std::unique_ptr<Framing> framing_;
    int listenFd_ = -1;
    int masterFd_ = -1;
    int slaveFd_ = -1;  // held open so the terminal lives on between host opens
    int wakeFd_ = -1;   // eventfd: stop and injections
    uint16_t port_ = 0;
    std::string serialPath_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::mutex injectMutex_;
    std::deque<std::vector<uint8_t>> injected_;  // wire bytes waiting for the link
    std::unique_ptr<UsbBridge> usb_;             // destroyed after the thread and the listener
};

}  // namespace kxsim

#endif
