// The update server's configuration: the devices it serves, the recovery fingerprints it
// knows, the token key and the faults it injects. Read from one JSON file:
//
//   {
//     "token_key": "lab secret",
//     "devices": {
//       "40F5849A": { "firmware": "kx-hub", "builds": [99528558, 99528600],
//                     "claims": { "features": ["capture"] } }
//     },
//     "recovery": [
//       { "fingerprint": "0A0B0C0D 01020304 11223344 55667788", "serial": "40F5849A",
//         "build": 99528999, "scramble": true }
//     ],
//     "faults": [ { "match": { "op": "bird", "sn": "40F5849A" }, "kind": "delay", "ms": 500 } ]
//   }
//
// "builds" is optional (every image in the device's folder is offered without it);
// "claims" is optional and goes into the device's token. A recovery entry without
// "build" answers the device's latest build. A scrambled one must name its build, and
// every download of that build is scrambled, so give recovery images builds of their own.
#ifndef KESTRIX_UPDATE_SERVER_SERVERCONFIG_H
#define KESTRIX_UPDATE_SERVER_SERVERCONFIG_H

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using Fingerprint128 = std::array<uint32_t, 4>;

struct DeviceConfig {
    std::string firmware;
    // The builds the server hands out; unset means every image in the folder.
    std::optional<std::set<unsigned>> builds;
    nlohmann::json claims = nlohmann::json::object();
};

struct RecoveryConfig {
    Fingerprint128 fingerprint{};
    unsigned serial = 0;
    std::optional<unsigned> build;
    // The image goes out with its firmware blocks scrambled with the fingerprint.
    bool scramble = false;
};

// A deliberate misbehaviour for tests, never present unless configured. A fault applies
// to the requests that carry every query parameter of `match` with exactly that value
// (after percent decoding); the first matching fault of the list wins.
struct FaultConfig {
    enum class Kind {
        Delay,     // answer normally after `delay`
        Status,    // answer with HTTP status `status` (500 by default)
        Refuse,    // answer with a refusal line
        Truncate,  // cut the Base64 line of an image reply to half its length
        Drop,      // close the connection halfway through the reply body
        Canned,    // answer `status` (200 by default) with exactly `body`
    };
    // The kind's name as the configuration writes it ("delay", "status", ...).
    static const char* KindName(Kind kind);

    Kind kind = Kind::Refuse;
    std::map<std::string, std::string> match;
    std::chrono::milliseconds delay{0};
    int status = 500;
    std::string body;
};

struct ServerConfig {
    std::string tokenKey;  // empty: no tokens are issued
    std::map<unsigned, DeviceConfig> devices;
    std::vector<RecoveryConfig> recovery;
    std::vector<FaultConfig> faults;

    // Parses and checks a configuration; throws std::runtime_error naming the first
    // problem found.
    static ServerConfig FromJson(const nlohmann::json& json);
    // Reads the JSON file at path; throws std::runtime_error when it is unreadable,
    // not JSON, or not a valid configuration.
    static ServerConfig Load(const std::string& path);
};

// Parsers shared with the query handling: they accept exactly the forms the protocol
// uses and nothing else, so no request text ever reaches a file path unchecked.

// Exactly eight hexadecimal digits (either case).
std::optional<unsigned> ParseSerial(const std::string& text);
// One to ten decimal digits whose value fits 32 bits.
std::optional<unsigned> ParseBuild(const std::string& text);
// Four groups of eight hexadecimal digits separated by single blanks.
std::optional<Fingerprint128> ParseFingerprint(const std::string& text);

#endif
