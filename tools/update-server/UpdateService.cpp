#include "UpdateService.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "Jwt.h"
#include "base64.h"

namespace {

// Why a request is refused; becomes the reply's single "refused:" line.
struct Refusal {
    std::string reason;
};

const std::string& _require(const std::map<std::string, std::string>& params, const char* key) {
    auto it = params.find(key);
    if (it == params.end()) {
        throw Refusal{std::string("missing parameter ") + key};
    }
    return it->second;
}

void _expect(const std::map<std::string, std::string>& params, const char* key,
             std::initializer_list<const char*> allowed) {
    const std::string& value = _require(params, key);
    for (const char* accepted : allowed) {
        if (value == accepted) {
            return;
        }
    }
    throw Refusal{std::string("unsupported ") + key + " value"};
}

std::string _hex8(unsigned value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

int _hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> _percentDecode(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        int high = i + 2 < text.size() ? _hexDigit(text[i + 1]) : -1;
        int low = high >= 0 ? _hexDigit(text[i + 2]) : -1;
        if (low < 0) {
            return std::nullopt;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

// Keeps the first half of the second line: a Base64 image cut short.
void _truncateSecondLine(std::string& body) {
    size_t start = body.find('\n');
    if (start == std::string::npos) {
        return;
    }
    ++start;
    size_t end = body.find('\n', start);
    size_t length = (end == std::string::npos ? body.size() : end) - start;
    body.erase(start + length / 2, length - length / 2);
}

// The image with its firmware blocks scrambled with the chip identifier, which only that
// chip's updater can undo; throws std::runtime_error when the file does not load.
std::vector<uint8_t> _scrambledImage(const std::filesystem::path& path, const Fingerprint128& key) {
    BirdFile bird(path.c_str());
    const unsigned int words[4] = {key[0], key[1], key[2], key[3]};
    ScrambleFirmwareBlocks(bird, words);
    return EncodeBirdImage(bird.version, bird.payload.data(), bird.payloadSize);
}

}  // namespace

std::optional<std::map<std::string, std::string>> ParseQuery(const std::string& raw) {
    std::map<std::string, std::string> params;
    size_t start = 0;
    while (start <= raw.size()) {
        size_t end = raw.find('&', start);
        if (end == std::string::npos) {
            end = raw.size();
        }
        std::string part = raw.substr(start, end - start);
        start = end + 1;
        if (part.empty()) {
            continue;  // the client ends every parameter with "&"
        }
        size_t equals = part.find('=');
        if (equals == std::string::npos || equals == 0) {
            return std::nullopt;
        }
        auto key = _percentDecode(part.substr(0, equals));
        auto value = _percentDecode(part.substr(equals + 1));
        if (!key || !value || !params.emplace(*key, *value).second) {
            return std::nullopt;
        }
    }
    return params;
}

UpdateService::UpdateService(ServerConfig config, const std::filesystem::path& root,
                             FirmwareIndex::Warn warn)
    : config(std::move(config)), index(root, warn), warn(warn) {}

Reply UpdateService::Answer(const std::string& rawQuery) {
    Reply reply;
    auto params = ParseQuery(rawQuery);
    if (!params) {
        reply.body = "refused: malformed query\n";
        return reply;
    }
    const FaultConfig* fault = MatchFault(*params);
    if (fault != nullptr) {
        reply.fault = FaultConfig::KindName(fault->kind);
        switch (fault->kind) {
            case FaultConfig::Kind::Status:
                reply.status = fault->status;
                reply.body = "injected failure\n";
                return reply;
            case FaultConfig::Kind::Refuse:
                reply.body = "refused: injected fault\n";
                return reply;
            case FaultConfig::Kind::Canned:
                reply.status = fault->status;
                reply.body = fault->body;
                return reply;
            case FaultConfig::Kind::Delay:
                reply.delay = fault->delay;
                break;
            case FaultConfig::Kind::Drop:
                reply.drop = true;
                break;
            case FaultConfig::Kind::Truncate:
                break;
        }
    }
    try {
        reply.body = Dispatch(*params);
    } catch (const Refusal& refusal) {
        reply.body = "refused: " + refusal.reason + "\n";
    } catch (const std::exception& e) {
        warn(std::string("internal error: ") + e.what());
        reply.status = 500;
        reply.body = "internal error\n";
    }
    if (fault != nullptr && fault->kind == FaultConfig::Kind::Truncate) {
        _truncateSecondLine(reply.body);
    }
    return reply;
}

std::string UpdateService::Dispatch(const Params& params) {
    const std::string& op = _require(params, "op");
    if (op == "hi") {
        return Hello(params);
    }
    if (op == "qu") {
        return QueryBuild(params);
    }
    if (op == "bird") {
        return GetBuild(params);
    }
    if (op == "builds") {
        return BuildList(params);
    }
    if (op == "fix") {
        return RecoveryInfo(params);
    }
    if (op == "ent_jwt") {
        return DeviceToken(params);
    }
    throw Refusal{"unknown operation"};
}

std::string UpdateService::Hello(const Params& params) {
    _expect(params, "rv", {"2"});
    return "ok\n";
}

std::string UpdateService::QueryBuild(const Params& params) {
    unsigned serial = 0;
    const DeviceConfig& device = Device(params, serial);
    auto offered = Offered(serial, device);
    if (offered.empty()) {
        throw Refusal{"no builds for " + _hex8(serial)};
    }
    return "ok\n" + std::to_string(offered.rbegin()->first) + "\n" + device.firmware + "\n";
}

std::string UpdateService::GetBuild(const Params& params) {
    unsigned serial = 0;
    const DeviceConfig& device = Device(params, serial);
    if (_require(params, "fw") != device.firmware) {
        throw Refusal{"firmware name does not match the device"};
    }
    _expect(params, "no_cal", {"true", "false"});
    auto build = ParseBuild(_require(params, "bld"));
    if (!build) {
        throw Refusal{"bld must be a decimal build number"};
    }
    auto offered = Offered(serial, device);
    auto image = offered.find(*build);
    if (image == offered.end()) {
        throw Refusal{"build " + std::to_string(*build) + " is not offered for " + _hex8(serial)};
    }
    auto scrambled =
        std::find_if(config.recovery.begin(), config.recovery.end(), [&](const auto& entry) {
            return entry.scramble && entry.serial == serial && entry.build == *build;
        });
    std::vector<uint8_t> bytes = scrambled != config.recovery.end()
                                     ? _scrambledImage(image->second.path, scrambled->fingerprint)
                                     : ReadFileBytes(image->second.path);
    size_t length = 0;
    std::unique_ptr<char, decltype(&std::free)> text(
        base64_encode(bytes.data(), bytes.size(), &length), &std::free);
    if (!text) {
        throw std::runtime_error("out of memory encoding " + image->second.path.string());
    }
    return "ok\n" + std::string(text.get(), length) + "\n";
}

std::string UpdateService::BuildList(const Params& params) {
    unsigned serial = 0;
    const DeviceConfig& device = Device(params, serial);
    std::string body = "ok\n";
    for (const auto& [build, image] : Offered(serial, device)) {
        body += std::to_string(build) + ";" + image.version + "\n";
    }
    return body;
}

std::string UpdateService::RecoveryInfo(const Params& params) {
    auto fingerprint = ParseFingerprint(_require(params, "fp"));
    if (!fingerprint) {
        throw Refusal{"fp must be four groups of eight hexadecimal digits"};
    }
    _expect(params, "brief", {"true"});
    for (const RecoveryConfig& entry : config.recovery) {
        if (entry.fingerprint != *fingerprint) {
            continue;
        }
        unsigned build = 0;
        if (entry.build) {
            build = *entry.build;
        } else {
            auto offered = Offered(entry.serial, config.devices.at(entry.serial));
            if (offered.empty()) {
                throw Refusal{"no builds for " + _hex8(entry.serial)};
            }
            build = offered.rbegin()->first;
        }
        return "ok\n" + _hex8(entry.serial) + "\n" + std::to_string(build) + "\n";
    }
    throw Refusal{"unknown fingerprint"};
}

std::string UpdateService::DeviceToken(const Params& params) {
    unsigned serial = 0;
    const DeviceConfig& device = Device(params, serial);
    _expect(params, "json", {"false"});
    if (config.tokenKey.empty()) {
        throw Refusal{"no tokens are issued here"};
    }
    nlohmann::json claims = device.claims;
    claims["sn"] = _hex8(serial);
    claims["iat"] = static_cast<long long>(std::time(nullptr));
    return "ok\n" + MakeJwt(claims, config.tokenKey) + "\n";
}

const DeviceConfig& UpdateService::Device(const Params& params, unsigned& serial) const {
    auto parsed = ParseSerial(_require(params, "sn"));
    if (!parsed) {
        throw Refusal{"sn must be eight hexadecimal digits"};
    }
    auto it = config.devices.find(*parsed);
    if (it == config.devices.end()) {
        throw Refusal{"unknown device " + _hex8(*parsed)};
    }
    serial = *parsed;
    return it->second;
}

std::map<unsigned, FirmwareImage> UpdateService::Offered(unsigned serial,
                                                         const DeviceConfig& device) {
    auto images = index.Images(serial);
    if (device.builds) {
        std::erase_if(images,
                      [&](const auto& entry) { return !device.builds->contains(entry.first); });
    }
    return images;
}

const FaultConfig* UpdateService::MatchFault(const Params& params) const {
    for (const FaultConfig& fault : config.faults) {
        bool matches = std::all_of(fault.match.begin(), fault.match.end(), [&](const auto& wanted) {
            auto it = params.find(wanted.first);
            return it != params.end() && it->second == wanted.second;
        });
        if (matches) {
            return &fault;
        }
    }
    return nullptr;
}
