// The front end's console tables and lines (device list, build list, fingerprint,
// token, version) and the number readers of the option parser.
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CLI_Display.h"
#include "CLI_Output.h"
#include "CapturingDisplay.h"
#include "Parameters.h"

namespace {

using kxtest::CapturingDisplay;

DeviceInfo _device(uint32_t type, uint32_t serial, uint32_t model) {
    DeviceInfo device;
    device.spec.type = type;
    device.spec.serialNumber = serial;
    device.spec.model = model;
    return device;
}

// Model 99 has no name, so its column reads "Unknown" whatever the model table holds.
constexpr uint32_t kUnnamedModel = 99;

TEST(DisplayDeviceList, RowsFollowEachDevicesOwnLinkType) {
    DeviceInfo usb = _device(USB, 0x40F5849A, kUnnamedModel);
    usb.spec.module = 2;
    usb.major = 2;
    usb.minor = 10;
    usb.patch = 4;
    usb.buildNumber = 99528558;
    usb.name = "bench hub";

    DeviceInfo busy = _device(USB, 0x12345678, kUnnamedModel);
    busy.error = 5;

    // An error on a TCP/IP row is not shown: the row reads like any other.
    DeviceInfo tcp = _device(TCPIP, 0x2181F0EE, kUnnamedModel);
    tcp.spec.module = 6;
    tcp.spec.router = 6;
    const uint8_t address[4] = {192, 168, 1, 20};
    memcpy(&tcp.spec.ipAddress, address, sizeof(address));
    tcp.major = 1;
    tcp.minor = 0;
    tcp.patch = 17;
    tcp.buildNumber = 7;
    tcp.name = "rack";
    tcp.error = 25;

    std::vector<DeviceInfo> list = {usb, busy, tcp};
    CapturingDisplay display;
    _display_device_list(display, list, USB);
    EXPECT_EQ(
        display.out,
        "Discovered Devices: (USB)\n"
        "    Device    Module   Router  Model          Firmware Version (Build)    Device "
        "Name\n"
        "    40F5849A  02       00      Unknown        2.10.4 (  99528558)         bench hub\n"
        "    12345678  [Error (5): Device in use. Close all other Tessarin associated "
        "applications.]\n"
        "    2181F0EE  06       06      Unknown        1.0.17 (         7)        "
        "[192.168.1.20]     rack\n");
    EXPECT_EQ(display.err, "");
}

TEST(DisplayDeviceList, HeaderAndTitleByListType) {
    struct Case {
        linkType type;
        std::string expected;
    };
    const std::string networkHeader =
        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]  "
        "     Device Name\n";
    const Case cases[] = {
        {TCPIP, "Discovered Devices: (TCPIP)\n" + networkHeader},
        {AWEAVE, "Discovered Devices: (Unknown)\n" + networkHeader},
        {static_cast<linkType>(0), "Discovered Devices: (Unknown)\n" + networkHeader},
    };
    for (const Case& c : cases) {
        std::vector<DeviceInfo> list = {_device(USB, 0xA, kUnnamedModel)};
        CapturingDisplay display;
        _display_device_list(display, list, c.type);
        EXPECT_EQ(display.out.substr(0, c.expected.size()), c.expected) << c.type;
    }
}

TEST(DisplayDeviceList, EmptyList) {
    std::vector<DeviceInfo> list;
    CapturingDisplay display;
    _display_device_list(display, list, TCPIP);
    EXPECT_EQ(display.out, "Discovered Devices: (TCPIP)\n    No devices found.\n");
}

TEST(DisplayBuilds, NewestVersionFirstInFifteenColumnFields) {
    std::map<std::string, std::string> builds = {
        {"99528558", "2.10.4"},
        {"99528600", "2.10.12"},
        {"98000000", "2.9.10"},
        {"12345678901234567890", "1.0.0"},
    };
    CapturingDisplay display;
    _display_builds(display, builds, 0x40F5849A);
    EXPECT_EQ(display.out,
              "Build List for device [40F5849A]:\n"
              "\n"
              "Build          \tVersion        \n"
              "99528600       \t2.10.12        \n"
              "99528558       \t2.10.4         \n"
              "98000000       \t2.9.10         \n"
              "123456789012345\t1.0.0          \n");
}

TEST(DisplayBuilds, NoBuilds) {
    std::map<std::string, std::string> builds;
    CapturingDisplay display;
    _display_builds(display, builds, 0xDEADDEAD);
    EXPECT_EQ(display.out, "No builds found for device [DEADDEAD]\n");
}

TEST(DisplayLines, FingerprintTokenAndVersion) {
    CapturingDisplay display;
    Fingerprint fingerprint;
    fingerprint.words[0] = 0x1;
    fingerprint.words[1] = 0xABCDEF01;
    fingerprint.words[3] = 0xFFFFFFFF;
    _display_fingerprint(display, fingerprint);
    _display_jwt(display, "aa.bb.cc");
    _display_jwt(display, "");
    EXPECT_EQ(display.out, "[ 00000001 ABCDEF01 00000000 FFFFFFFF ]\naa.bb.cc\n\n");

    CapturingDisplay version;
    _display_app_version(version);
    // "Mmm dd yyyy" with the day padded by a blank, as the compiler's build date has it.
    const std::string prefix = "Updater (Version: 2.12.5 ";
    ASSERT_EQ(version.out.size(), prefix.size() + 11 + 2) << version.out;
    EXPECT_EQ(version.out.substr(0, prefix.size()), prefix);
    EXPECT_EQ(version.out.substr(prefix.size() + 11), ")\n");
    const std::string date = version.out.substr(prefix.size(), 11);
    tm parsed{};
    const char* end = strptime(date.c_str(), "%b %e %Y", &parsed);
    EXPECT_TRUE(end != nullptr && *end == '\0') << date;
    EXPECT_TRUE(date[4] == ' ' || (date[4] >= '1' && date[4] <= '3')) << date;
}

TEST(DisplayLines, TablesAreMutedLikeAnyMessage) {
    CapturingDisplay display;
    display.mute_messages(true);
    std::vector<DeviceInfo> list;
    std::map<std::string, std::string> builds;
    Fingerprint fingerprint;
    _display_device_list(display, list, USB);
    _display_builds(display, builds, 1);
    _display_fingerprint(display, fingerprint);
    _display_jwt(display, "aa.bb.cc");
    EXPECT_EQ(display.out, "");
}

TEST(NumberArguments, HexAndDecimalReaders) {
    struct Case {
        unsigned (*read)(const char*, char**);
        const char* text;
        unsigned value;
        bool endMoved;  // false: *end keeps the caller's value
        size_t endOffset;
    };
    const Case cases[] = {
        {_get_hex_arg, "40F5849A", 0x40F5849A, true, 8},
        {_get_hex_arg, "ff", 0xFF, true, 2},
        {_get_hex_arg, "", 0, true, 0},
        {_get_hex_arg, "xyz", 0, false, 0},
        {_get_hex_arg, "0x10", 0, false, 0},  // the caller drops the prefix first
        {_get_hex_arg, "12 ", 0, false, 0},
        // Too wide for 32 bits: held at the largest value instead of wrapping round.
        {_get_hex_arg, "123456789", UINT_MAX, true, 9},
        {_get_int_arg, "99528558", 99528558, true, 8},
        {_get_int_arg, "12a", 0, false, 0},
        {_get_int_arg, "-1", 0, false, 0},
        {_get_int_arg, "99999999999", UINT_MAX, true, 11},
    };
    for (const Case& c : cases) {
        char text[32];
        snprintf(text, sizeof(text), "%s", c.text);
        char untouched[] = "";
        char* end = untouched;
        EXPECT_EQ(c.read(text, &end), c.value) << c.text;
        EXPECT_EQ(end, c.endMoved ? text + c.endOffset : untouched) << c.text;
    }
    EXPECT_EQ(_get_hex_arg("40F5849A", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("12", nullptr), 0u);
}

TEST(CommandsClass, TestsAnyBitOfAMask) {
    CommandsClass help;
    help.Set(CMD_HELP);
    EXPECT_TRUE(help.IsSet(CMD_HELP));
    EXPECT_FALSE(help.IsSet(kAnyCommand));

    CommandsClass commands;
    EXPECT_FALSE(commands.IsSet(kAnyCommand));
    commands.Set(CMD_Z);
    commands.Set(CMD_Z);
    EXPECT_TRUE(commands.IsSet(kAnyCommand));
    EXPECT_TRUE(commands.IsSet(static_cast<COMMANDS>(CMD_Z | CMD_GET)));
    EXPECT_FALSE(commands.IsSet(CMD_GET));
}

}  // namespace
