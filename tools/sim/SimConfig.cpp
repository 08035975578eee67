#include "SimConfig.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>

namespace kxsim {

const char* const kConfigHelp = R"(Configuration (JSON):
{
  "log": "/tmp/sim.jsonl",        optional: JSON-lines log of every packet and event
  "modules": [                    one or more simulated modules
    {
      "serial": "40F5849A",       serial number: 8 hex digits as text, or a number
      "address": 4,               module address, even and non-zero (default 2)
      "model": 13,                model code (default 0)
      "transport": {"type": "tcp", "host": "127.0.0.1", "port": 0}
                                  TCP: listen on host:port (0 picks a free port); one
                                  link per accepted connection, accepting again after a drop
                   {"type": "serial"}
                                  serial: COBS + CRC-8 framing on a pseudo-terminal; the
                                  ready line names its path
                   {"type": "tcp", "host": "10.77.0.2", "discovery": true}
                                  also answer the host's module discovery request on the
                                  interface with that address
                   {"type": "usb", "directory": "/tmp/lab", "product": 19,
                    "out_packet_size": 64, "serial_string": "40F5849A",
                    "replug_ms": 500, "replug_serial": "DEADDEAD"}
                                  USB through the USB lab (the libusb stand-in preloaded
                                  into the host reads the same directory); "close" unplugs
                                  the device, which comes back after replug_ms (if set),
                                  under replug_serial (if set)
      "heartbeat": {"interval_ms": 500, "kinds": [0, 1]}
                                  heartbeats addr 02 00 k, kinds sent in turn (default none)
      "answer_address_query": true
                                  answer AD 00 with addr 00 (default true)
      "units": {"echo": {}}       the units the module carries, with their settings
                                  (default: echo). Units: echo (debug echo, command 0x17)
      "faults": [                 each fires once in the run; "at" counts the module's
                                  replies (1 = first), for "close" the packets received
        {"kind": "drop_reply",  "at": 3},
        {"kind": "corrupt",     "at": 2, "offset": 1, "value": 255},
        {"kind": "odd_address", "at": 2},
        {"kind": "garbage",     "at": 2, "bytes": [255, 255, 255]},
        {"kind": "stall",       "at": 2, "ms": 500},
        {"kind": "close",       "at": 10}
      ]
    }
  ]
}

On start the simulator prints one JSON line on standard output, e.g.
{"ready":true,"pid":123,"modules":[{"serial":"40F5849A","address":4,"transport":"tcp",
 "host":"127.0.0.1","port":40123},{"serial":"00000002","address":2,"transport":"serial",
 "path":"/dev/pts/7"}]}
and runs until SIGINT or SIGTERM.
)";

namespace {

using nlohmann::json;

const std::pair<FaultKind, const char*> kFaultNames[] = {{FaultKind::DropReply, "drop_reply"},
                                                         {FaultKind::Corrupt, "corrupt"},
                                                         {FaultKind::OddAddress, "odd_address"},
                                                         {FaultKind::Garbage, "garbage"},
                                                         {FaultKind::Stall, "stall"},
                                                         {FaultKind::Close, "close"}};

[[noreturn]] void sFail(const std::string& where, const std::string& what) {
    throw std::runtime_error(where + ": " + what);
}

void sOnlyKeys(const json& object, const std::string& where, std::set<std::string> known) {
    if (!object.is_object()) {
        sFail(where, "must be an object");
    }
    for (const auto& [key, value] : object.items()) {
        if (!known.contains(key)) {
            sFail(where, "unknown key \"" + key + "\"");
        }
    }
}

uint64_t sUnsigned(const json& value, const std::string& where, uint64_t maximum) {
    // Numbers written in C++ arrive signed, those parsed from text unsigned.
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() ? false : value.get<int64_t>() < 0) ||
        value.get<uint64_t>() > maximum) {
        sFail(where, "must be a whole number from 0 to " + std::to_string(maximum));
    }
    return value.get<uint64_t>();
}

uint8_t sByte(const json& value, const std::string& where) {
    return static_cast<uint8_t>(sUnsigned(value, where, 255));
}

std::vector<uint8_t> sBytes(const json& value, const std::string& where) {
    if (!value.is_array()) {
        sFail(where, "must be an array of bytes");
    }
    std::vector<uint8_t> bytes;
    for (const json& byte : value) {
        bytes.push_back(sByte(byte, where));
    }
    return bytes;
}

uint32_t sSerial(const json& value, const std::string& where) {
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (text.empty() || text.size() > 8 ||
            text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            sFail(where, "must be at most 8 hexadecimal digits");
        }
        return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
    }
    return static_cast<uint32_t>(sUnsigned(value, where, UINT32_MAX));
}

void sUsbTransport(const json& value, const std::string& where, TransportConfig& transport) {
    if (!value.contains("directory") || !value["directory"].is_string()) {
        sFail(where + ".directory", "a usb transport needs the lab directory");
    }
    transport.directory = value["directory"].get<std::string>();
    if (value.contains("serial_string")) {
        if (!value["serial_string"].is_string() ||
            value["serial_string"].get<std::string>().size() > 64) {
            sFail(where + ".serial_string", "must be text of at most 64 characters");
        }
        transport.serialString = value["serial_string"].get<std::string>();
    }
    if (value.contains("product")) {
        transport.productId =
            static_cast<uint16_t>(sUnsigned(value["product"], where + ".product", 65535));
    }
    if (value.contains("out_packet_size")) {
        transport.outPacketSize = static_cast<uint16_t>(
            sUnsigned(value["out_packet_size"], where + ".out_packet_size", 1024));
    }
    if (value.contains("replug_ms")) {
        transport.replugMs =
            static_cast<uint32_t>(sUnsigned(value["replug_ms"], where + ".replug_ms", 600000));
    }
    if (value.contains("replug_serial")) {
        transport.replugSerial = sSerial(value["replug_serial"], where + ".replug_serial");
    }
}

TransportConfig sTransport(const json& value, const std::string& where) {
    sOnlyKeys(value, where,
              {"type", "host", "port", "discovery", "directory", "serial_string", "product",
               "out_packet_size", "replug_ms", "replug_serial"});
    TransportConfig transport;
    const std::string type = value.value("type", "tcp");
    if (type == "serial") {
        transport.kind = TransportKind::Serial;
    } else if (type == "usb") {
        transport.kind = TransportKind::Usb;
        sUsbTransport(value, where, transport);
    } else if (type != "tcp") {
        sFail(where + ".type", "must be \"tcp\", \"serial\" or \"usb\"");
    }
    if (value.contains("discovery")) {
        if (!value["discovery"].is_boolean() || transport.kind != TransportKind::Tcp) {
            sFail(where + ".discovery", "must be true or false, on a tcp transport");
        }
        transport.discovery = value["discovery"].get<bool>();
    }
    if (value.contains("host")) {
        if (!value["host"].is_string()) {
            sFail(where + ".host", "must be an IPv4 address as text");
        }
        transport.host = value["host"].get<std::string>();
    }
    if (value.contains("port")) {
        transport.port = static_cast<uint16_t>(sUnsigned(value["port"], where + ".port", 65535));
    }
    return transport;
}

HeartbeatConfig sHeartbeat(const json& value, const std::string& where) {
    sOnlyKeys(value, where, {"interval_ms", "kinds"});
    HeartbeatConfig heartbeat;
    if (value.contains("interval_ms")) {
        heartbeat.intervalMs =
            static_cast<uint32_t>(sUnsigned(value["interval_ms"], where + ".interval_ms", 3600000));
    }
    if (value.contains("kinds")) {
        heartbeat.kinds = sBytes(value["kinds"], where + ".kinds");
        if (heartbeat.kinds.empty()) {
            sFail(where + ".kinds", "must name at least one kind");
        }
    }
    return heartbeat;
}

FaultConfig sFault(const json& value, const std::string& where) {
    sOnlyKeys(value, where, {"kind", "at", "offset", "value", "bytes", "ms"});
    FaultConfig fault;
    const std::string kind = value.value("kind", "");
    const auto found = std::find_if(std::begin(kFaultNames), std::end(kFaultNames),
                                    [&](const auto& entry) { return kind == entry.second; });
    if (found == std::end(kFaultNames)) {
        sFail(where + ".kind", "unknown fault \"" + kind + "\"");
    }
    fault.kind = found->first;
    if (value.contains("at")) {
        fault.at = sUnsigned(value["at"], where + ".at", UINT64_MAX);
        if (fault.at == 0) {
            sFail(where + ".at", "counts from 1");
        }
    }
    if (value.contains("offset")) {
        fault.offset = static_cast<size_t>(sUnsigned(value["offset"], where + ".offset", 29));
    }
    if (value.contains("value")) {
        fault.value = sByte(value["value"], where + ".value");
    }
    if (value.contains("bytes")) {
        fault.bytes = sBytes(value["bytes"], where + ".bytes");
    }
    if (value.contains("ms")) {
        fault.ms = static_cast<uint32_t>(sUnsigned(value["ms"], where + ".ms", 600000));
    }
    return fault;
}

ModuleConfig sModule(const json& value, const std::string& where) {
    sOnlyKeys(value, where,
              {"serial", "address", "model", "transport", "heartbeat", "answer_address_query",
               "units", "faults"});
    ModuleConfig module;
    if (!value.contains("serial")) {
        sFail(where, "needs a \"serial\"");
    }
    module.serial = sSerial(value["serial"], where + ".serial");
    if (value.contains("address")) {
        module.address = sByte(value["address"], where + ".address");
        if (module.address == 0 || (module.address & 1) != 0) {
            sFail(where + ".address", "must be even and non-zero");
        }
    }
    if (value.contains("model")) {
        module.model = sByte(value["model"], where + ".model");
    }
    if (value.contains("transport")) {
        module.transport = sTransport(value["transport"], where + ".transport");
    }
    if (value.contains("heartbeat")) {
        module.heartbeat = sHeartbeat(value["heartbeat"], where + ".heartbeat");
    }
    if (value.contains("answer_address_query")) {
        if (!value["answer_address_query"].is_boolean()) {
            sFail(where + ".answer_address_query", "must be true or false");
        }
        module.answerAddressQuery = value["answer_address_query"].get<bool>();
    }
    module.units = value.value("units", json{{"echo", json::object()}});
    if (!module.units.is_object()) {
        sFail(where + ".units", "must be an object of unit names and settings");
    }
    if (value.contains("faults")) {
        if (!value["faults"].is_array()) {
            sFail(where + ".faults", "must be an array");
        }
        for (size_t i = 0; i < value["faults"].size(); ++i) {
            const std::string at = where + ".faults[" + std::to_string(i) + "]";
            module.faults.push_back(sFault(value["faults"][i], at));
            // A pseudo-terminal has no connection to drop.
            if (module.faults.back().kind == FaultKind::Close &&
                module.transport.kind == TransportKind::Serial) {
                sFail(at, "\"close\" needs a tcp transport");
            }
        }
    }
    return module;
}

}  // namespace

Config parseConfig(const json& document) {
    sOnlyKeys(document, "configuration", {"log", "modules"});
    Config config;
    if (document.contains("log")) {
        if (!document["log"].is_string()) {
            sFail("log", "must be a path");
        }
        config.logPath = document["log"].get<std::string>();
    }
    const json modules = document.value("modules", json::array());
    if (!modules.is_array() || modules.empty()) {
        sFail("modules", "must be an array of at least one module");
    }
    for (size_t i = 0; i < modules.size(); ++i) {
        config.modules.push_back(sModule(modules[i], "modules[" + std::to_string(i) + "]"));
    }
    return config;
}

Config loadConfig(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    json document;
    try {
        document = json::parse(file);
    } catch (const json::parse_error& error) {
        throw std::runtime_error(path + ": " + error.what());
    }
    return parseConfig(document);
}

const char* faultName(FaultKind kind) {
    for (const auto& [known, name] : kFaultNames) {
        if (known == kind) {
            return name;
        }
    }
    return "unknown";
}

std::string serialText(uint32_t serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

}  // namespace kxsim
