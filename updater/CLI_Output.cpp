#include "CLI_Output.h"

#include <cstring>
#include <initializer_list>

#include "Log.h"
#include "Parameters.h"
#include "UpdateServerRequest.h"
#include "aDefs.h"

namespace {

constexpr const char* kAppTitle = "Updater";
constexpr const char* kVersionText = "Version: " KX_UPDATER_VERSION " " __DATE__;

// Usage layout: an option entry is 5 blanks, the option in 25 columns, "- " and its
// first line, further lines under the first; a sample is its command in 31 columns.
constexpr size_t kOptionIndent = 5;
constexpr size_t kOptionWidth = 25;
constexpr size_t kDescriptionColumn = kOptionIndent + kOptionWidth + 2;
constexpr size_t kSampleWidth = 31;

using Lines = std::initializer_list<std::string>;

void _pad(std::string& out, const std::string& text, size_t width) {
    out += text;
    if (text.size() < width) {
        out.append(width - text.size(), ' ');
    }
}

void _option(std::string& out, const char* option, Lines lines, bool blankAfter = false) {
    out.append(kOptionIndent, ' ');
    _pad(out, option, kOptionWidth);
    out += "- ";
    bool first = true;
    for (const std::string& line : lines) {
        if (!first) {
            out.append(kDescriptionColumn, ' ');
        }
        out += line + "\n";
        first = false;
    }
    if (blankAfter) {
        out += "\n";
    }
}

// ownLine puts the command on a line of its own with the description below it, for a
// command too wide to leave a gap before the description column.
void _sample(std::string& out, const char* command, Lines lines, bool ownLine = false) {
    bool first = !ownLine;
    if (ownLine) {
        out += std::string(command) + "\n";
    }
    for (const std::string& line : lines) {
        if (first) {
            _pad(out, command, kSampleWidth);
        } else {
            out.append(kSampleWidth, ' ');
        }
        out += line + "\n";
        first = false;
    }
    out += "\n";
}

void _usage_header(std::string& out) {
    out += "\nApplication Usage:\n";
    out += kAppTitle;
    out +=
        " <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
        "    [-d serial_num]\n"
        "    [-t transport] [-r router_serial]\n"
        "    [-s serial_port] [-o baud_rate]\n"
        "\n"
        "  Kestrix Update and Maintenance Application\n"
        "    -H -h or --help for full usage information.\n"
        "\n";
}

void _usage_parameters_and_commands(std::string& out) {
    out += "  Parameters to commands:\n";
    _option(out, "-i <tessarin_directory>",
            {"The Tessarin directory used for storage of ",
             "firmware files. [Default: ~/.tessarin ]."});
    _option(out, "-b <build number>",
            {"Build version of the firmware to transfer.", "[Default: latest version available]."});
    _option(out, "-d <device>", {"Device serial number of the device to access."});
    _option(out, "-t <transport type>", {"communications method [USB,TCP,RECOVER]."});
    _option(out, "-f <bird file>", {"Firmware file to be transferred to device."});
    _option(out, "-r <router serial>", {"indirect connection through router device"});
    _option(out, "-s <serial port>", {"name of serial port to use for recovery"});
    _option(
        out, "-o <baud rate>",
        {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"});
    out += "  Commands:\n";
    _option(out, "-B", {"list the Builds available for given device."}, true);
    _option(out, "-L", {"list the local Builds available for given device."}, true);
    _option(out, "-D", {"Discover devices that are currently connected."}, true);
    _option(out, "-G",
            {"Get build file from the Tessarin server and",
             "store on local machine for download to device.",
             "Must specify a specific device [\"-d\" option].",
             "Default is to obtain the latest build for the",
             "given device, override with \"-b\" option."},
            true);
    _option(out, "-U",
            {"Update the firmware on device specified.",
             "Must specify a specific device [\"-d\" option].",
             "Default is to download the latest build for the",
             "given device, override with \"-b\" option or",
             "specify specific BIRD file using \"-f\" option."});
    _option(out, "-J", {"Get a JWT containing the devices software features"});
    _option(out, "-H or -h", {"Display extended usage information."}, true);
    _option(out, "--http",
            {std::string("Use HTTP for the update server (") + _default_server_url(false) + ")."});
    _option(out, "--https",
            {std::string("Use HTTPS for the update server (") + _default_server_url(true) + ").",
             "Recommended; HTTPS will be the default in the next major version."},
            true);
}

// The log packages, one per line under the "-X" entry; an empty line parts the groups
// of adjacent bits.
void _usage_log_packages(std::string& out) {
    unsigned previous = 0;
    for (const LogPackage& package : g_logPackages) {
        if (previous != 0 && package.mask > previous * 2) {
            out += "\n";
        }
        char line[64];
        snprintf(line, sizeof(line), "%-20s0x%08X", package.name, package.mask);
        out.append(kDescriptionColumn, ' ');
        out += line;
        out += "\n";
        previous = package.mask;
    }
}

void _usage_extended(std::string& out) {
    out += "  Extended Parameters:\n";
    _option(out, "-e", {"echoing of bytes enabled during recovery."}, true);
    _option(out, "-m", {"Attemps to use UEIBytes for faster loading"});
    _option(out, "-l 'log message'", {"message to place in device history log"});
    _option(out, "-k <filename>",
            {"log messages written into given filename", "Default:[APP.log]"});
    _option(out, "-u <host:port>",
            {"The hostname and port of the update server",
             std::string("Default: ") + UpdateServerRequest::default_host + ":port"});
    out += "  Extended Commands:\n";
    _option(out, "-I",
            {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
             "specify a specific device [\"-d\" option]."},
            true);
    _option(
        out, "-OVERRIDE",
        {"Override the model checks for BIRD firmware files.",
         "This option should only be used when authorized by", "Tessarin development engineers."},
        true);
    _option(out, "-N", {"Get fingerprint from a device, requires -s"}, true);
    _option(out, "-X <BIT_MASK>", {"Bitmask for Logging"});
    _usage_log_packages(out);
    out += "\n";
    _option(out, "-C", {"Check the given BIRDFILE"});
    out += "\n\n";
}

void _usage_samples(std::string& out) {
    out += " Sample usage:\n\n";
    _sample(out, "-D",
            {"Discover all devices connected by either USB or TCPIP.",
             "Records the device information into the settings for that device."});
    _sample(out, "-D -t USB",
            {"Discover all the devices connected by USB. Records the",
             "device information into the settings for that device."});
    _sample(out, "-D -t USB -d 0F5849A",
            {"Discover settings of the specific device (serial number 0x40F5849A)"});
    _sample(out, "-G -d 40F5849A",
            {"Get the latest firmware for the given device.",
             "Downloads the firmware file into the updater specific device directory."});
    _sample(out, "-U -d 40F5849A",
            {"Update the firmware on the specific device.",
             "Without other options, this command will try to locate",
             "the latest firmware version to be used for updating the device."});
    _sample(out, "-G -d 40F5849A -b 99528558",
            {"Get the specified build's firmware for the given device.",
             "Downloads the firmware file into the updater's specific",
             "device directory with the build number as the filename."});
    _sample(out, "-G -U -d 40F5849A",
            {"Get the latest firmware for the given device.",
             "Downloads the firmware file into the updater specific",
             "device directory. After download, update the firmware", "using the latest release."});
    _sample(out, "-U -t RECOVER -s /dev/serial",
            {"Update the firmware as described above, but uses the serial interface",
             "in communicating with the device to install the latest firmware."});
    out += " Sample usage for network discovery and updates:\n\n";
    _sample(out, "-D -r D272031D",
            {"Discover all devices connected to the I2C Kestrix network",
             "of the given routing device D272031D."});
    _sample(out, "-G -U -d 2181F0EE -r D272031D",
            {"Get and Update to the latest firmware for device 2181F0EE",
             "indirectly through routing device D272031D."},
            true);
    out += "\n";
}

const char* _link_type_name(uint32_t type) {
    switch (type) {
        case USB:
            return "USB";
        case TCPIP:
            return "TCPIP";
        default:
            return "Unknown";
    }
}

void _display_device(CLI_Display& display, const DeviceInfo& device) {
    const linkSpec& spec = device.spec;
    const int major = device.major;
    const int minor = device.minor;
    const int patch = static_cast<int>(device.patch);
    if (spec.type == TCPIP) {
        uint8_t ip[4];
        memcpy(ip, &spec.ipAddress, sizeof(ip));  // network order: first octet first
        char address[20];
        snprintf(address, sizeof(address), "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
        display.message(CLI_Display::LEVEL_INFO,
                        "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                        spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model),
                        major, minor, patch, device.buildNumber, address, device.name.c_str());
    } else if (device.error != 0) {
        display.message(CLI_Display::LEVEL_INFO,
                        "    %08X  [Error (%d): Device in use. Close all other Tessarin "
                        "associated applications.]",
                        spec.serialNumber, static_cast<int>(device.error));
    } else {
        display.message(CLI_Display::LEVEL_INFO,
                        "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                        spec.serialNumber, spec.module, spec.router, aDefs_GetModelName(spec.model),
                        major, minor, patch, device.buildNumber, device.name.c_str());
    }
}

}  // namespace

void _display_app_version(CLI_Display& display) {
    display.message(CLI_Display::LEVEL_INFO, "%s (%s)", kAppTitle, kVersionText);
}

void _display_copyright(CLI_Display& display) {
    display.message(CLI_Display::LEVEL_INFO,
                    "(Copyright (c) Tessarin. Provided as is, without warranty of any kind.)");
}

void _display_usage(CLI_Display& display, bool extended, bool full) {
    std::string out;
    _usage_header(out);
    if (full) {
        _usage_parameters_and_commands(out);
        if (extended) {
            _usage_extended(out);
        }
        _usage_samples(out);
    }
    // The display supplies the final line feed.
    out.pop_back();
    display.error_message(out.c_str());
}

void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type) {
    display.message(CLI_Display::LEVEL_INFO, "Discovered Devices: (%s)", _link_type_name(type));
    if (list.empty()) {
        display.message(CLI_Display::LEVEL_INFO, "    No devices found.");
        return;
    }
    if (type == USB) {
        display.message(CLI_Display::LEVEL_INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)  "
                        "  Device Name");
    } else {
        display.message(CLI_Display::LEVEL_INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)  "
                        " [IP address]       Device Name");
    }
    for (const DeviceInfo& device : list) {
        _display_device(display, device);
    }
}

void _display_builds(CLI_Display& display, std::map<std::string, std::string>& builds,
                     unsigned serialNumber) {
    if (builds.empty()) {
        display.message(CLI_Display::LEVEL_INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(CLI_Display::LEVEL_INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(CLI_Display::LEVEL_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds)) {
        display.message(CLI_Display::LEVEL_INFO, "%-15.15s\t%-15.15s", build.c_str(),
                        version.c_str());
    }
}

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint) {
    const uint32_t* w = fingerprint.words;
    display.message(CLI_Display::LEVEL_INFO, "[ %08X %08X %08X %08X ]", w[0], w[1], w[2], w[3]);
}

void _display_jwt(CLI_Display& display, std::string token) {
    display.message(CLI_Display::LEVEL_INFO, "%s", token.c_str());
}
