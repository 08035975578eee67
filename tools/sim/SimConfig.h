// The simulator's configuration: which modules it plays, how the host reaches each of
// them, and how each misbehaves. Read from one JSON document; kConfigHelp describes it.
#ifndef KESTRIX_SIM_SIMCONFIG_H
#define KESTRIX_SIM_SIMCONFIG_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kxsim {

enum class TransportKind { Tcp, Serial, Usb };

struct TransportConfig {
    TransportKind kind = TransportKind::Tcp;
    std::string host = "127.0.0.1";  // TCP: the address to listen on
    uint16_t port = 0;               // TCP: 0 picks a free port
    bool discovery = false;          // TCP: answer the host's discovery request on host
    // USB, through the USB lab (SimUsbBridge.h):
    std::string directory;        // the lab directory the device appears in
    std::string serialString;     // shown instead of the serial number's "%08X"
    uint16_t productId = 0x0013;  // the model is its low byte
    uint16_t outPacketSize = 64;
    uint32_t replugMs = 0;      // after the link ends, plug back in after this long
    uint32_t replugSerial = 0;  // and come back under this serial number (0: the same)
};

struct HeartbeatConfig {
    uint32_t intervalMs = 0;           // 0: no heartbeats
    std::vector<uint8_t> kinds{0, 1};  // sent in turn
};

enum class FaultKind { DropReply, Corrupt, OddAddress, Garbage, Stall, Close };

// The configuration name of a fault kind ("drop_reply").
const char* faultName(FaultKind kind);

// One fault, fired once in the simulator's run. at counts the module's replies (1 = the
// first), or for Close the packets received from the host.
struct FaultConfig {
    FaultKind kind = FaultKind::DropReply;
    uint64_t at = 1;
    size_t offset = 1;                             // Corrupt: which byte of the packet
    uint8_t value = 0xFF;                          // Corrupt: its new value
    std::vector<uint8_t> bytes{0xFF, 0xFF, 0xFF};  // Garbage: sent after the reply
    uint32_t ms = 500;                             // Stall: silence before the reply
};

struct ModuleConfig {
    uint32_t serial = 0;
    uint8_t address = 2;  // even, non-zero
    uint8_t model = 0;
    TransportConfig transport;
    HeartbeatConfig heartbeat;
    bool answerAddressQuery = true;
    std::vector<FaultConfig> faults;
    nlohmann::json units = nlohmann::json::object();  // unit name -> its settings
};

struct Config {
    std::vector<ModuleConfig> modules;
    std::string logPath;  // JSON-lines packet log; empty: none
};

// Parses a configuration document. Throws std::runtime_error naming the first problem.
Config parseConfig(const nlohmann::json& document);
// Reads and parses the file at path. Throws std::runtime_error.
Config loadConfig(const std::string& path);

// The serial number as the modules show it: eight upper-case hexadecimal digits.
std::string serialText(uint32_t serial);

// What kestrix-sim --help prints about the configuration.
extern const char* const kConfigHelp;

}  // namespace kxsim

#endif
