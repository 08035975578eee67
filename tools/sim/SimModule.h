// One simulated module: its link level (the answer to AD 00, heartbeats, the route
// switch), the units that answer everything else, and a record of what it saw and sent,
// which tests wait on.
#ifndef KESTRIX_SIM_SIMMODULE_H
#define KESTRIX_SIM_SIMMODULE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "SimConfig.h"
#include "SimUnit.h"

namespace kxsim {

// What a module saw and did. Packet lists keep the newest kRecordLimit packets, the raw
// bytes the first kRawLimit bytes off the wire; the counters count everything.
struct Record {
    static constexpr size_t kRecordLimit = 65536;
    static constexpr size_t kRawLimit = 65536;

    std::deque<Packet> received;  // from the host, in order
    std::deque<Packet> sent;      // to the host, as sent (after faults)
    uint64_t receivedCount = 0;
    uint64_t sentCount = 0;
    uint64_t addressQueries = 0;           // AD 00 requests
    std::vector<uint8_t> routeSwitches;    // v of every AF 01 v
    std::vector<Packet> heartbeatReplies;  // the host's answers to heartbeats
    std::vector<uint8_t> rawReceived;      // the bytes as they came off the wire
    uint64_t rejected = 0;                 // bytes or frames the framing threw away
    std::vector<std::string> faults;       // names of the faults fired, in order
    uint64_t connections = 0;
};

class Module {
  public:
    // Builds the module and the units its configuration names. Throws std::runtime_error
    // for an unknown unit or bad unit settings.
    explicit Module(ModuleConfig config);

    const ModuleConfig& config() const { return config_; }
    // Adds a unit behind those already there; safe while the module runs.
    void addUnit(std::unique_ptr<Unit> unit);

    // Records one packet from the host and returns the module's answers to it.
    std::vector<Packet> answer(const Packet& request);
    // The heartbeat of kind from this module.
    Packet heartbeat(uint8_t kind) const { return Packet{config_.address, {0, kind}}; }

    void noteSent(const Packet& packet);
    void noteRaw(const uint8_t* bytes, size_t length);
    void noteRejected(uint64_t count);
    void noteFault(const std::string& name);
    void noteConnection();

    Record record() const;
    // Waits until done(record) holds, at most timeout. False on time-out.
    bool waitFor(const std::function<bool(const Record&)>& done,
                 std::chrono::milliseconds timeout) const;

  private:
    void changed(std::unique_lock<std::mutex>& lock);

    const ModuleConfig config_;
    mutable std::mutex mutex_;  // guards everything below
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Unit>> units_;
    Record record_;
};

}  // namespace kxsim

#endif
