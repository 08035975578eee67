// Fault injection: decides, reply by reply, which configured faults fire. Each fault
// fires once in the simulator's run; the counters run on across connections.
#ifndef KESTRIX_SIM_SIMFAULTS_H
#define KESTRIX_SIM_SIMFAULTS_H

#include <optional>
#include <string>
#include <vector>

#include "SimConfig.h"
#include "SimFraming.h"

namespace kxsim {

// What happens to one reply.
struct Fate {
    uint32_t stallMs = 0;  // silence before it
    bool drop = false;
    bool oddAddress = false;
    std::optional<Corruption> corruption;
    std::vector<uint8_t> garbageAfter;
    std::vector<std::string> fired;  // names of the faults that fired, for the log
};

class Faults {
  public:
    explicit Faults(std::vector<FaultConfig> faults);
    // The fate of the module's next reply.
    Fate nextReply();
    // Counts one packet from the host; true when the connection is to close after it.
    bool closeAfterReceived();

  private:
    bool fire(size_t index, uint64_t count, FaultKind kind);

    std::vector<FaultConfig> faults_;
    std::vector<bool> fired_;
    uint64_t replies_ = 0;
    uint64_t received_ = 0;
};

}  // namespace kxsim

#endif
