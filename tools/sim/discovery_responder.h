// kestrix-sim's discovery personality: simulated TCP modules answering the host's module
// discovery request. The responder listens for the 16-byte request on the module group
// on one interface and answers it, once per module, with the module's reply datagram to
// the requester's reply port. It hears only requests sent through its own interface, as
// a module on that network would.
#ifndef KESTRIX_SIM_DISCOVERY_RESPONDER_H
#define KESTRIX_SIM_DISCOVERY_RESPONDER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace kxsim {

// What a module tells about itself in its discovery reply.
struct DiscoverableModule {
    uint32_t serialNumber;
    uint8_t address;  // module address
    uint16_t port;    // its TCP link port
    uint8_t model;
};

// The 16-byte reply of module: address in byte 1, port in bytes 2..3 and serial number in
// bytes 4..7 (little-endian), model in byte 12, zeros elsewhere.
std::vector<uint8_t> discoveryReply(const DiscoverableModule& module);

class DiscoveryResponder {
  public:
    // Answers for modules on the interface whose IPv4 address is interfaceAddress
    // (dotted text); replies are sent from that address.
    DiscoveryResponder(std::string interfaceAddress, std::vector<DiscoverableModule> modules);
    ~DiscoveryResponder();  // stops
    DiscoveryResponder(const DiscoveryResponder&) = delete;
    DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

    // Starts answering; false (with the reason in *error) when the sockets cannot be made.
    bool start(std::string* error);
    void stop();
    // Requests answered so far.
    unsigned requests() const { return requests_; }

  private:
    void run();

    const std::string interfaceAddress_;
    const std::vector<DiscoverableModule> modules_;
    int listener_ = -1;
    int sender_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<unsigned> requests_{0};
};

}  // namespace kxsim

#endif
