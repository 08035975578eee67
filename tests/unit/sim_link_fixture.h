// Engine links against simulated modules run in the test's own process (kxsim): the
// simulator with one module, links to it over TCP on 127.0.0.1 or a pseudo-terminal, and
// the exchanges and bounded waits the engine tests share.
#ifndef KESTRIX_TESTS_SIM_LINK_FIXTURE_H
#define KESTRIX_TESTS_SIM_LINK_FIXTURE_H

#include <arpa/inet.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "Simulator.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"

namespace kxtest {

using namespace std::chrono_literals;

inline constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
inline constexpr uint8_t kEcho = 0x17;

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

inline PacketPtr makePacket(uint8_t address, std::vector<uint8_t> data) {
    return PacketPtr(
        aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data()));
}

inline std::vector<uint8_t> dataOf(const aPacket& packet) {
    return std::vector<uint8_t>(packet.data, packet.data + packet.dataSize);
}

// Polls condition until it holds or the deadline passes; returns its last value.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds deadline = 5s) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return condition();
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// One simulated module and the links a test makes to it; every link still open is
// destroyed, and the simulator stopped, when the fixture goes.
class SimModuleLink {
  public:
    explicit SimModuleLink(nlohmann::json module)
        : simulator_(std::make_unique<kxsim::Simulator>(
              kxsim::parseConfig(nlohmann::json{{"modules", {std::move(module)}}}))) {
        simulator_->start();
    }
    ~SimModuleLink() {
        for (aLinkHandle& link : links_) {
            while (link != 0 && aLinkManager_UseCount(link) > 0) {
                aLinkHandle copy = link;
                aLink_Destroy(&copy);
            }
        }
        simulator_->stop();
    }

    kxsim::Endpoint& endpoint() { return simulator_->endpoint(0); }
    kxsim::Module& module() { return endpoint().module(); }
    uint32_t serial() { return module().config().serial; }
    uint8_t address() { return module().config().address; }
    kxsim::Record record() { return module().record(); }
    bool waitFor(const std::function<bool(const kxsim::Record&)>& done,
                 std::chrono::milliseconds timeout = 5s) {
        return module().waitFor(done, timeout);
    }

    aLinkHandle tcp() { return keep(aLink_CreateTCPIP(serial(), kLoopback, endpoint().port())); }
    aLinkHandle serialLink(uint32_t baud = 115200) {
        return keep(aLink_CreateSerial(serial(), endpoint().serialPath().c_str(), baud));
    }
    aLinkHandle keep(aLinkHandle link) {
        if (link != 0) {
            links_.push_back(link);
        }
        return link;
    }

  private:
    std::unique_ptr<kxsim::Simulator> simulator_;
    std::vector<aLinkHandle> links_;
};

// The link object of a handle, for the calls that take one.
inline aLink* linkObject(aLinkHandle handle) {
    aLinkEntryRef entry = aLinkManager_Find(handle);
    return entry ? &entry->link : nullptr;
}

inline size_t inboundLength(aLinkHandle handle) {
    aLinkEntryRef entry = aLinkManager_Find(handle);
    return entry ? aPacketFifo_GetLength(entry->link.inbound) : 0;
}

struct EchoMatch {
    uint8_t address;
    std::vector<uint8_t> data;
};

inline bool matchesEcho(const aPacket* packet, void* ref) {
    const auto& match = *static_cast<const EchoMatch*>(ref);
    return packet->address == match.address && dataOf(*packet) == match.data;
}

// One debug-echo exchange carrying token; true when the echo came back within timeout.
inline bool echo(aLinkHandle link, uint8_t address, uint16_t token,
                 std::chrono::milliseconds timeout = 1000ms) {
    EchoMatch match{address,
                    {kEcho, static_cast<uint8_t>(token >> 8), static_cast<uint8_t>(token)}};
    PacketPtr request = makePacket(address, match.data);
    if (aLink_PutPacket(link, request.get()) != aErrNone) {
        return false;
    }
    PacketPtr reply(
        aLink_AwaitFirst(link, matchesEcho, &match, static_cast<uint64_t>(timeout.count())));
    return reply != nullptr;
}

// An echo exchange that rides out faults: retried, once the link runs again, until the
// deadline.
inline bool echoEventually(aLinkHandle link, uint8_t address, uint16_t token,
                           std::chrono::milliseconds deadline = 15s) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        eventually([&] { return aLink_GetStatus(link) == linkStatusRunning; }, 3s);
        if (echo(link, address, token, 300ms)) {
            return true;
        }
    }
    return false;
}

}  // namespace kxtest

#endif
