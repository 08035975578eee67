// What a simulated module is made of beyond its link level: units. Each unit plays one
// part of the module's behaviour (the debug echo, the system entity, the loader, ...), is
// one class, and is registered with the module by name in the unit catalog. The module
// offers every packet addressed to it to its units in turn; the first that takes it
// answers it.
#ifndef KESTRIX_SIM_SIMUNIT_H
#define KESTRIX_SIM_SIMUNIT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "SimConfig.h"

namespace kxsim {

// One link packet: address, then 0..28 data bytes.
struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    // The packet as it travels: address, size, data.
    std::vector<uint8_t> bytes() const;
    bool operator==(const Packet&) const = default;
};

// Upper-case hexadecimal bytes separated by blanks ("AD 00").
std::string hexText(const std::vector<uint8_t>& bytes);

class Unit {
  public:
    virtual ~Unit() = default;
    // The name the unit is registered under.
    virtual std::string name() const = 0;
    // Offered a packet addressed to the module that the link level did not take. True when
    // the unit takes it, with its answers (possibly none) appended to replies.
    virtual bool handle(const Packet& request, std::vector<Packet>& replies) = 0;
};

// Makes a unit from its settings for the module it belongs to. Throws
// std::runtime_error for bad settings.
using UnitFactory =
    std::function<std::unique_ptr<Unit>(const nlohmann::json& settings, const ModuleConfig&)>;

// The factory registered under name; null when there is none.
UnitFactory findUnit(const std::string& name);
// Every registered unit name, for error messages.
std::vector<std::string> unitNames();

}  // namespace kxsim

#endif
