#include "SimUnit.h"

#include <algorithm>
#include <cstdio>

#include "EchoUnit.h"

namespace kxsim {

namespace {

struct CatalogEntry {
    const char* name;
    UnitFactory make;
};

// Every unit a configuration can name. A new part of the module's behaviour is one more
// row here and one more Unit class.
const std::vector<CatalogEntry>& sCatalog() {
    static const std::vector<CatalogEntry> catalog = {
        {"echo",
         [](const nlohmann::json&, const ModuleConfig& module) {
             return std::make_unique<EchoUnit>(module.address);
         }},
    };
    return catalog;
}

}  // namespace

std::vector<uint8_t> Packet::bytes() const {
    std::vector<uint8_t> bytes(2 + data.size());
    bytes[0] = address;
    bytes[1] = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + 2);
    return bytes;
}

std::string hexText(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", byte);
        text += hex;
    }
    return text;
}

UnitFactory findUnit(const std::string& name) {
    const auto& catalog = sCatalog();
    const auto found = std::find_if(catalog.begin(), catalog.end(),
                                    [&](const CatalogEntry& entry) { return name == entry.name; });
    return found != catalog.end() ? found->make : nullptr;
}

std::vector<std::string> unitNames() {
    std::vector<std::string> names;
    for (const CatalogEntry& entry : sCatalog()) {
        names.push_back(entry.name);
    }
    return names;
}

}  // namespace kxsim
