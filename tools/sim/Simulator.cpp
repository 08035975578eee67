#include "Simulator.h"

#include <unistd.h>

#include <map>
#include <stdexcept>

namespace kxsim {

Simulator::Simulator(const Config& config) : log_(config.logPath) {
    for (const ModuleConfig& module : config.modules) {
        endpoints_.push_back(std::make_unique<Endpoint>(module, log_));
    }
}

Simulator::~Simulator() {
    stop();
}

void Simulator::start() {
    for (auto& endpoint : endpoints_) {
        endpoint->start();
    }
    std::map<std::string, std::vector<DiscoverableModule>> byInterface;
    for (auto& endpoint : endpoints_) {
        const ModuleConfig& config = endpoint->module().config();
        if (config.transport.kind == TransportKind::Tcp && config.transport.discovery) {
            byInterface[config.transport.host].push_back(
                {config.serial, config.address, endpoint->port(), config.model});
        }
    }
    for (auto& [host, modules] : byInterface) {
        auto responder = std::make_unique<DiscoveryResponder>(host, modules);
        std::string error;
        if (!responder->start(&error)) {
            throw std::runtime_error("discovery on " + host + ": " + error);
        }
        responders_.push_back(std::move(responder));
    }
}

void Simulator::stop() {
    responders_.clear();
    for (auto& endpoint : endpoints_) {
        endpoint->stop();
    }
}

std::string Simulator::readyLine() const {
    nlohmann::json modules = nlohmann::json::array();
    for (const auto& endpoint : endpoints_) {
        modules.push_back(endpoint->describe());
    }
    return nlohmann::json{{"ready", true}, {"pid", getpid()}, {"modules", modules}}.dump();
}

}  // namespace kxsim
