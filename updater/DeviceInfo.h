// One discovered module: how to reach it and what firmware it runs.
#ifndef KESTRIX_DEVICEINFO_H
#define KESTRIX_DEVICEINFO_H

#include <cstdint>
#include <cstring>
#include <string>

#include "aLinkSpec.h"

struct DeviceInfo {
    // Every number 0, the whole specifier included, and both texts empty.
    DeviceInfo() { memset(&spec, 0, sizeof(spec)); }

    linkSpec spec;
    uint16_t networkAddress = 0;  // I2C address a network scan found it at; 0 when direct
    uint32_t buildNumber = 0;     // 0 when the read failed
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    std::string name;    // empty for old firmware or a failed read
    uint32_t error = 0;  // aErr of the first failed read, 0 when all succeeded
};

#endif
