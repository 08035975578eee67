#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint8_t kPatch = 5;

// The top byte that marks the current layout.
constexpr uint32_t kCurrentMarker = 0x2F;

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature kFeatures[] = {{"VERSION", "Version Query API"}};

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14)) {
        return kCurrentMarker << 24 | static_cast<uint32_t>(major) << 16 |
               static_cast<uint32_t>(minor) << 8 | patch;
    }
    return static_cast<uint32_t>(major & 0xF) << 28 | static_cast<uint32_t>(minor & 0xF) << 24 |
           patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    const uint32_t top = version >> 28;
    const uint32_t second = (version >> 24) & 0xF;
    return top < 2 || (top == 2 && second < 15);
}

uint32_t aVersion_ParseMajor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? version >> 28 : (version >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? (version >> 24) & 0xF : (version >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

size_t aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    const int length = std::snprintf(buffer, size, "%u.%u.%u", aVersion_ParseMajor(version),
                                     aVersion_ParseMinor(version), aVersion_ParsePatch(version));
    return length < 0 ? 0 : static_cast<size_t>(length);
}

uint8_t aVersion_GetMajor(void) {
    return kMajor;
}
uint8_t aVersion_GetMinor(void) {
    return kMinor;
}
uint8_t aVersion_GetPatch(void) {
    return kPatch;
}

const char* aVersion_GetString(void) {
    static const std::string text =
        std::to_string(kMajor) + "." + std::to_string(kMinor) + "." + std::to_string(kPatch);
    return text.c_str();
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t b1, uint8_t c1, uint8_t a2, uint8_t b2,
                               uint8_t c2) {
    if (a1 != a2) {
        return a1 > a2;
    }
    if (b1 != b2) {
        return b1 > b2;
    }
    return c1 >= c2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
    if (name == nullptr) {
        return false;
    }
    for (const auto& feature : kFeatures) {
        if (std::strcmp(feature.name, name) == 0) {
            return true;
        }
    }
    return false;
}

char* aVersion_GetFeatureList(void) {
    std::string list;
    for (const auto& feature : kFeatures) {
        if (!list.empty()) {
            list += "\n";
        }
        list += std::string(feature.name) + " - " + feature.description;
    }
    return strdup(list.c_str());
}

void aVersion_DestroyFeatureList(char** list) {
    if (list != nullptr) {
        std::free(*list);
        *list = nullptr;
    }
}
