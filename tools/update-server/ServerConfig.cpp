#include "ServerConfig.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <stdexcept>

namespace {

using nlohmann::json;

[[noreturn]] void _fail(const std::string& where, const std::string& problem) {
    throw std::runtime_error(where + ": " + problem);
}

bool _allOf(const std::string& text, int (*accept)(int)) {
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return accept(static_cast<unsigned char>(c)) != 0; });
}

const json& _member(const json& object, const char* key, const std::string& where) {
    auto it = object.find(key);
    if (it == object.end()) {
        _fail(where, std::string("\"") + key + "\" is missing");
    }
    return *it;
}

// A misspelt key would silently change what the server does (a fault without its
// "match" applies to every request), so unknown keys are errors.
void _onlyKeys(const json& object, const std::string& where,
               std::initializer_list<const char*> known) {
    for (const auto& [key, value] : object.items()) {
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; })) {
            _fail(where, "unknown key \"" + key + "\"");
        }
    }
}

std::string _string(const json& value, const std::string& where) {
    if (!value.is_string()) {
        _fail(where, "must be a string");
    }
    return value.get<std::string>();
}

unsigned _serial(const json& value, const std::string& where) {
    auto serial = ParseSerial(_string(value, where));
    if (!serial) {
        _fail(where, "must be eight hexadecimal digits");
    }
    return *serial;
}

unsigned _build(const json& value, const std::string& where) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > UINT32_MAX) {
        _fail(where, "must be a build number (0 to 4294967295)");
    }
    return value.get<unsigned>();
}

int _integer(const json& value, const std::string& where, int low, int high) {
    if (!value.is_number_integer() || value.get<int64_t>() < low || value.get<int64_t>() > high) {
        _fail(where,
              "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return value.get<int>();
}

DeviceConfig _device(const json& value, const std::string& where) {
    if (!value.is_object()) {
        _fail(where, "must be an object");
    }
    _onlyKeys(value, where, {"firmware", "builds", "claims"});
    DeviceConfig device;
    device.firmware = _string(_member(value, "firmware", where), where + ".firmware");
    if (device.firmware.empty() || device.firmware.find_first_of("\r\n") != std::string::npos) {
        _fail(where + ".firmware", "must be a non-empty single-line name");
    }
    if (auto it = value.find("builds"); it != value.end()) {
        if (!it->is_array()) {
            _fail(where + ".builds", "must be a list of build numbers");
        }
        device.builds.emplace();
        for (const json& build : *it) {
            device.builds->insert(_build(build, where + ".builds"));
        }
    }
    if (auto it = value.find("claims"); it != value.end()) {
        if (!it->is_object()) {
            _fail(where + ".claims", "must be an object");
        }
        device.claims = *it;
    }
    return device;
}

RecoveryConfig _recovery(const json& value, const std::string& where) {
    if (!value.is_object()) {
        _fail(where, "must be an object");
    }
    _onlyKeys(value, where, {"fingerprint", "serial", "build", "scramble"});
    RecoveryConfig entry;
    auto fingerprint =
        ParseFingerprint(_string(_member(value, "fingerprint", where), where + ".fingerprint"));
    if (!fingerprint) {
        _fail(where + ".fingerprint", "must be four groups of eight hexadecimal digits");
    }
    entry.fingerprint = *fingerprint;
    entry.serial = _serial(_member(value, "serial", where), where + ".serial");
    if (auto it = value.find("build"); it != value.end()) {
        entry.build = _build(*it, where + ".build");
    }
    if (auto it = value.find("scramble"); it != value.end()) {
        if (!it->is_boolean()) {
            _fail(where + ".scramble", "must be true or false");
        }
        entry.scramble = it->get<bool>();
    }
    // The scrambled image is chosen by serial and build, so the build must be fixed.
    if (entry.scramble && !entry.build) {
        _fail(where, "a scrambled recovery image needs its \"build\"");
    }
    return entry;
}

const std::pair<const char*, FaultConfig::Kind> g_faultKinds[] = {
    {"delay", FaultConfig::Kind::Delay},   {"status", FaultConfig::Kind::Status},
    {"refuse", FaultConfig::Kind::Refuse}, {"truncate", FaultConfig::Kind::Truncate},
    {"drop", FaultConfig::Kind::Drop},     {"canned", FaultConfig::Kind::Canned},
};

FaultConfig _fault(const json& value, const std::string& where) {
    if (!value.is_object()) {
        _fail(where, "must be an object");
    }
    _onlyKeys(value, where, {"kind", "match", "ms", "status", "body"});
    FaultConfig fault;
    std::string kind = _string(_member(value, "kind", where), where + ".kind");
    auto it = std::find_if(std::begin(g_faultKinds), std::end(g_faultKinds),
                           [&](const auto& entry) { return kind == entry.first; });
    if (it == std::end(g_faultKinds)) {
        _fail(where + ".kind", "unknown fault \"" + kind + "\"");
    }
    fault.kind = it->second;
    if (auto match = value.find("match"); match != value.end()) {
        if (!match->is_object()) {
            _fail(where + ".match", "must be an object of query parameters");
        }
        for (const auto& [key, wanted] : match->items()) {
            fault.match[key] = _string(wanted, where + ".match." + key);
        }
    }
    if (fault.kind == FaultConfig::Kind::Delay) {
        fault.delay = std::chrono::milliseconds(
            _integer(_member(value, "ms", where), where + ".ms", 0, 600000));
    }
    if (fault.kind == FaultConfig::Kind::Canned) {
        fault.status = 200;
        fault.body = _string(_member(value, "body", where), where + ".body");
    }
    if (auto status = value.find("status"); status != value.end()) {
        fault.status = _integer(*status, where + ".status", 100, 599);
    }
    return fault;
}

}  // namespace

const char* FaultConfig::KindName(Kind kind) {
    for (const auto& [name, value] : g_faultKinds) {
        if (value == kind) {
            return name;
        }
    }
    return "?";
}

std::optional<unsigned> ParseSerial(const std::string& text) {
    if (text.size() != 8 || !_allOf(text, isxdigit)) {
        return std::nullopt;
    }
    return static_cast<unsigned>(std::stoul(text, nullptr, 16));
}

std::optional<unsigned> ParseBuild(const std::string& text) {
    if (text.empty() || text.size() > 10 || !_allOf(text, isdigit)) {
        return std::nullopt;
    }
    unsigned long long value = std::stoull(text);
    if (value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

std::optional<Fingerprint128> ParseFingerprint(const std::string& text) {
    if (text.size() != 4 * 8 + 3) {
        return std::nullopt;
    }
    Fingerprint128 words{};
    for (size_t i = 0; i < words.size(); ++i) {
        if (i > 0 && text[i * 9 - 1] != ' ') {
            return std::nullopt;
        }
        auto word = ParseSerial(text.substr(i * 9, 8));
        if (!word) {
            return std::nullopt;
        }
        words[i] = *word;
    }
    return words;
}

ServerConfig ServerConfig::FromJson(const json& json) {
    if (!json.is_object()) {
        _fail("configuration", "must be a JSON object");
    }
    _onlyKeys(json, "configuration", {"token_key", "devices", "recovery", "faults"});
    ServerConfig config;
    if (auto it = json.find("token_key"); it != json.end()) {
        config.tokenKey = _string(*it, "token_key");
    }
    if (auto it = json.find("devices"); it != json.end()) {
        if (!it->is_object()) {
            _fail("devices", "must be an object keyed by serial number");
        }
        for (const auto& [key, value] : it->items()) {
            auto serial = ParseSerial(key);
            if (!serial) {
                _fail("devices." + key, "the key must be eight hexadecimal digits");
            }
            if (!config.devices.emplace(*serial, _device(value, "devices." + key)).second) {
                _fail("devices." + key, "serial number listed twice");
            }
        }
    }
    auto list = [&](const char* key, auto parse, auto& into) {
        auto it = json.find(key);
        if (it == json.end()) {
            return;
        }
        if (!it->is_array()) {
            _fail(key, "must be a list");
        }
        for (size_t i = 0; i < it->size(); ++i) {
            into.push_back(parse((*it)[i], std::string(key) + "[" + std::to_string(i) + "]"));
        }
    };
    list("recovery", _recovery, config.recovery);
    list("faults", _fault, config.faults);
    for (size_t i = 0; i < config.recovery.size(); ++i) {
        const RecoveryConfig& entry = config.recovery[i];
        std::string where = "recovery[" + std::to_string(i) + "]";
        if (!config.devices.contains(entry.serial)) {
            _fail(where + ".serial", "names no device of \"devices\"");
        }
        for (size_t j = 0; j < i; ++j) {
            if (config.recovery[j].fingerprint == entry.fingerprint) {
                _fail(where + ".fingerprint", "listed twice");
            }
        }
    }
    return config;
}

ServerConfig ServerConfig::Load(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    nlohmann::json json = nlohmann::json::parse(file, nullptr, false);
    if (json.is_discarded()) {
        throw std::runtime_error(path + ": not valid JSON");
    }
    return FromJson(json);
}
