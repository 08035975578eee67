#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>

#include "HTTPRequest.h"
#include "Log.h"
#include "aVersion.h"

namespace {

using Query = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

std::string _serialText(unsigned serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The body split at line feeds; runs of separators count as one, so no line is empty.
Lines _splitLines(const std::string& body) {
    Lines lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find_first_of(UpdateServerRequest::delimiters, start);
        if (end == std::string::npos) {
            end = body.size();
        }
        if (end > start) {
            lines.push_back(body.substr(start, end - start));
        }
        start = end + 1;
    }
    return lines;
}

// Text up to the first carriage return or line feed.
std::string _untilLineEnd(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

// Sends one operation's query and checks the reply. On success returns the reply lines,
// the "ok" line first; on any failure logs why and returns nothing. pingStyle selects the
// status line format the ping operation has always used.
std::optional<Lines> _request(const char* name, const Query& query, const char* url,
                              bool pingStyle = false) {
    if (url == nullptr) {
        url = UpdateServerRequest::default_url;
    }
    try {
        HTTPResponse response = HTTPRequest::GET(url, query);
        if (response.get_status() != 200) {
            if (pingStyle) {
                Log::log(kLogServerComm, "PING ==> [%ld] [%s]\n", response.get_status(),
                         response.get_response());
            } else {
                Log::log(kLogServerComm, "%s ==> [%ld] [%s]\n", name, response.get_status(),
                         response.get_response());
            }
            return std::nullopt;
        }
        Lines lines =
            _splitLines(std::string(response.get_response(), response.get_response_size()));
        if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
            Log::log(kLogServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     response.get_request());
            return std::nullopt;
        }
        return lines;
    } catch (const std::exception& e) {
        Log::log(kLogServerComm, "%s ==> [%s]\n", name, e.what());
        return std::nullopt;
    }
}

// The non-empty fields of text between any of the separators (as strtok finds them).
std::vector<std::string> _fields(const std::string& text, const char* separators) {
    std::vector<std::string> fields;
    size_t start = text.find_first_not_of(separators);
    while (start != std::string::npos) {
        size_t end = text.find_first_of(separators, start);
        fields.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(separators, end);
    }
    return fields;
}

// A build-list entry with its version reduced to three 8-bit components; no components
// when the version is not three numbers.
struct SortEntry {
    std::pair<std::string, std::string> build;
    std::optional<std::array<uint8_t, 3>> version;
};

std::optional<std::array<uint8_t, 3>> _parseVersion(const std::string& version) {
    std::vector<std::string> parts = UpdateServerRequest::SplitKestrixVersion(version);
    if (parts.empty()) {
        return std::nullopt;
    }
    try {
        std::array<uint8_t, 3> components{};
        for (size_t i = 0; i < components.size(); ++i) {
            // Firmware versions are bytes on the module, so only the low 8 bits count.
            components[i] = static_cast<uint8_t>(std::stoi(parts[i]));
        }
        return components;
    } catch (const std::exception& e) {
        Log::log(kLogServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return std::nullopt;
    }
}

// Orders newer versions first. Versions that are not three numbers compare equal to each
// other and after every proper version, which keeps the order a strict weak ordering.
bool _sortVersion(const SortEntry& a, const SortEntry& b) {
    if (!a.version || !b.version) {
        return a.version.has_value() && !b.version.has_value();
    }
    const auto& va = *a.version;
    const auto& vb = *b.version;
    return !aVersion_IsAtLeastCompare(vb[0], vb[1], vb[2], va[0], va[1], va[2]);
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
    return _request("ping", {{"op", "hi"}, {"rv", "2"}}, url, true).has_value();
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmwareName,
                                     const char* url) {
    auto lines = _request("QueryBuild", {{"op", "qu"}, {"sn", _serialText(serial)}}, url);
    if (!lines) {
        return false;
    }
    if (lines->size() > 1) {
        build = (*lines)[1];
    }
    if (lines->size() > 2) {
        firmwareName = _untilLineEnd((*lines)[2]);
    }
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const char* firmwareName, const char* build,
                                   std::string& data, const char* url, bool noCalibration) {
    Query query = {{"op", "bird"},
                   {"sn", _serialText(serial)},
                   {"fw", firmwareName ? firmwareName : ""},
                   {"bld", build ? build : ""},
                   {"no_cal", noCalibration ? "true" : "false"}};
    auto lines = _request("GetBuild", query, url);
    if (!lines) {
        return false;
    }
    data.clear();
    if (lines->size() > 1) {
        data = std::move((*lines)[1]);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    builds.clear();
    auto lines = _request("GetBuildList", {{"op", "builds"}, {"sn", _serialText(serial)}}, url);
    if (!lines) {
        return false;
    }
    for (size_t i = 1; i < lines->size(); ++i) {
        const std::string& line = (*lines)[i];
        Log::log(kLogServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        if (line.size() < 3) {
            continue;
        }
        std::vector<std::string> fields = _fields(line, ";\r\n");
        if (fields.empty()) {
            continue;
        }
        std::string version = fields.size() > 1 ? fields[1] : std::string();
        Log::log(kLogServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", fields[0].c_str(),
                 version.c_str());
        builds.emplace(fields[0], version);
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial,
                                          unsigned* build, const char* url) {
    // The blanks between the groups travel encoded; nothing else encodes the query.
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
                  fingerprint[2], fingerprint[3]);
    auto lines = _request("GetRecoveryInfo", {{"op", "fix"}, {"fp", fp}, {"brief", "true"}}, url);
    if (!lines) {
        return false;
    }
    auto line = [&](size_t i) { return i < lines->size() ? (*lines)[i].c_str() : ""; };
    Log::log(kLogServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", line(0), line(1),
             line(2));
    if (lines->size() > 1) {
        *serial = static_cast<unsigned>(std::strtoul(line(1), nullptr, 16));
    }
    if (lines->size() > 2) {
        *build = static_cast<unsigned>(std::strtoul(line(2), nullptr, 0));
    }
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url) {
    Query query = {{"op", "ent_jwt"}, {"sn", _serialText(serial)}, {"json", "false"}};
    auto lines = _request("GetDeviceJWT", query, url);
    if (!lines || lines->size() < 2) {
        return false;
    }
    const std::string& line = (*lines)[1];
    Log::log(kLogServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());
    if (line.size() <= 2) {
        return false;
    }
    size_t firstDot = line.find('.');
    size_t secondDot = firstDot == std::string::npos ? firstDot : line.find('.', firstDot + 1);
    if (secondDot == std::string::npos) {
        return false;
    }
    std::string header = line.substr(0, firstDot);
    std::string payload = line.substr(firstDot + 1, secondDot - firstDot - 1);
    std::string signature = _untilLineEnd(line.substr(secondDot + 1));
    if (header.size() < 2 || payload.size() < 2 || signature.size() < 2) {
        return false;
    }
    token = header + "." + payload + "." + signature;
    return true;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
    std::vector<SortEntry> entries;
    entries.reserve(builds.size());
    for (const auto& build : builds) {
        entries.push_back({build, _parseVersion(build.second)});
    }
    std::stable_sort(entries.begin(), entries.end(), _sortVersion);
    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (auto& entry : entries) {
        sorted.push_back(std::move(entry.build));
    }
    return sorted;
}

std::vector<std::string> UpdateServerRequest::SplitKestrixVersion(std::string version) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    if (parts.size() != 3) {
        parts.clear();
    }
    return parts;
}
