#include "SimModule.h"

#include <stdexcept>

namespace kxsim {

namespace {

constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kRouteSwitch = 0xAF;

template <typename T>
void sKeepNewest(std::deque<T>& list, const T& item) {
    list.push_back(item);
    if (list.size() > Record::kRecordLimit) {
        list.pop_front();
    }
}

bool sIsHeartbeatReply(const Packet& packet) {
    return packet.data.size() == 2 && packet.data[0] == 0;
}

}  // namespace

Module::Module(ModuleConfig config) : config_(std::move(config)) {
    for (const auto& [name, settings] : config_.units.items()) {
        const UnitFactory make = findUnit(name);
        if (!make) {
            std::string known;
            for (const std::string& unit : unitNames()) {
                known += (known.empty() ? "" : ", ") + unit;
            }
            throw std::runtime_error("unknown unit \"" + name + "\" (units: " + known + ")");
        }
        units_.push_back(make(settings, config_));
    }
}

void Module::addUnit(std::unique_ptr<Unit> unit) {
    std::lock_guard lock(mutex_);
    units_.push_back(std::move(unit));
}

std::vector<Packet> Module::answer(const Packet& request) {
    std::unique_lock lock(mutex_);
    sKeepNewest(record_.received, request);
    ++record_.receivedCount;
    std::vector<Packet> replies;
    if (request.address == kAddressQuery && request.data.empty()) {
        ++record_.addressQueries;
        if (config_.answerAddressQuery) {
            replies.push_back(Packet{config_.address, {}});
        }
    } else if (request.address == kRouteSwitch && request.data.size() == 1) {
        record_.routeSwitches.push_back(request.data[0]);
    } else if (request.address == config_.address && sIsHeartbeatReply(request)) {
        record_.heartbeatReplies.push_back(request);
    } else if (request.address == config_.address) {
        for (const auto& unit : units_) {
            if (unit->handle(request, replies)) {
                break;
            }
        }
    }
    changed(lock);
    return replies;
}

void Module::noteSent(const Packet& packet) {
    std::unique_lock lock(mutex_);
    sKeepNewest(record_.sent, packet);
    ++record_.sentCount;
    changed(lock);
}

void Module::noteRaw(const uint8_t* bytes, size_t length) {
    std::unique_lock lock(mutex_);
    const size_t room = Record::kRawLimit - record_.rawReceived.size();
    record_.rawReceived.insert(record_.rawReceived.end(), bytes, bytes + std::min(room, length));
    changed(lock);
}

void Module::noteRejected(uint64_t count) {
    std::unique_lock lock(mutex_);
    record_.rejected += count;
    changed(lock);
}

void Module::noteFault(const std::string& name) {
    std::unique_lock lock(mutex_);
    record_.faults.push_back(name);
    changed(lock);
}

void Module::noteConnection() {
    std::unique_lock lock(mutex_);
    ++record_.connections;
    changed(lock);
}

Record Module::record() const {
    std::lock_guard lock(mutex_);
    return record_;
}

bool Module::waitFor(const std::function<bool(const Record&)>& done,
                     std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(record_); });
}

void Module::changed(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    changed_.notify_all();
}

}  // namespace kxsim
