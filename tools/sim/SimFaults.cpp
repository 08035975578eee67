#include "SimFaults.h"

namespace kxsim {

Faults::Faults(std::vector<FaultConfig> faults)
    : faults_(std::move(faults)), fired_(faults_.size(), false) {}

bool Faults::fire(size_t index, uint64_t count, FaultKind kind) {
    if (fired_[index] || faults_[index].kind != kind || faults_[index].at != count) {
        return false;
    }
    fired_[index] = true;
    return true;
}

Fate Faults::nextReply() {
    ++replies_;
    Fate fate;
    for (size_t i = 0; i < faults_.size(); ++i) {
        const FaultConfig& fault = faults_[i];
        if (fault.kind == FaultKind::Close || !fire(i, replies_, fault.kind)) {
            continue;
        }
        fate.fired.push_back(faultName(fault.kind));
        switch (fault.kind) {
            case FaultKind::DropReply:
                fate.drop = true;
                break;
            case FaultKind::Corrupt:
                fate.corruption = Corruption{fault.offset, fault.value};
                break;
            case FaultKind::OddAddress:
                fate.oddAddress = true;
                break;
            case FaultKind::Garbage:
                fate.garbageAfter.insert(fate.garbageAfter.end(), fault.bytes.begin(),
                                         fault.bytes.end());
                break;
            case FaultKind::Stall:
                fate.stallMs += fault.ms;
                break;
            case FaultKind::Close:
                break;
        }
    }
    return fate;
}

bool Faults::closeAfterReceived() {
    ++received_;
    bool close = false;
    for (size_t i = 0; i < faults_.size(); ++i) {
        close = fire(i, received_, FaultKind::Close) || close;
    }
    return close;
}

}  // namespace kxsim
