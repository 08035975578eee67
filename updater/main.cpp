// kestrix-updater: parses the command line, runs the fingerprint and download steps
// and then at most one main command, and maps the outcome to the exit status.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "CLI_Display.h"
#include "CLI_Output.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

// Stands for no particular module: the chip's own identity is not known before it
// answers.
constexpr unsigned kAnySerialNumber = 0xDEADDEAD;

// The leading digits of build as a number; 0 (the latest build) when there are none.
unsigned _build_number(const std::string& build) {
    try {
        return static_cast<unsigned>(std::stoul(build));
    } catch (const std::logic_error&) {
        return 0;
    }
}

// Sets params.storageDir to the store's directory (made if missing); false when it
// cannot be found or made.
bool _ensure_storage_directory(CLI_Display& display, Parameters& params) {
    if (params.storageDir.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
        if (err != aErrNone) {
            Log::log(kLogApp, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        params.storageDir = BuildPath(home, ".tessarin", nullptr);
    }
    params.storageDir = BuildPath(params.storageDir.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(params.storageDir.c_str(), 0755) != aErrNone) {
        display.message(CLI_Display::LEVEL_ERROR, "Could not find updater directory at %s",
                        params.storageDir.c_str());
        return false;
    }
    return true;
}

// "-N": false when the chip gave no fingerprint.
bool _fingerprint(CLI_Display& display, Updater& updater, Parameters& params) {
    Fingerprint fingerprint;
    if (!updater.Get_Fingerprint(fingerprint, params.serialPort, kAnySerialNumber, params.birdFile,
                                 params.baudRate, true)) {
        display.message(CLI_Display::LEVEL_ERROR, "Got no response from chip");
        return false;
    }
    _display_fingerprint(display, fingerprint);
    return true;
}

// "-G": false when nothing was stored. The build stored becomes params.build, so an
// update in the same run moves exactly that build.
bool _download(CLI_Display& display, Updater& updater, Parameters& params) {
    display.message(CLI_Display::LEVEL_INFO,
                    "Retrieving firmware for device with serial number %08X", params.serialNumber);
    if (params.build.empty()) {
        display.message(CLI_Display::LEVEL_INFO, "No build specified");
        display.message(CLI_Display::LEVEL_INFO, "Using Latest build");
    } else {
        display.message(CLI_Display::LEVEL_INFO, "Retrieving firmware build %s",
                        params.build.c_str());
    }
    unsigned build =
        updater.Download_Firmware(params.serialNumber, params.build, params.overrideModel, false);
    if (build == 0) {
        return false;
    }
    params.build = std::to_string(build);
    return true;
}

// "-D": always exit status 0; failures show in the list.
int _discover(CLI_Display& display, Updater& updater, Parameters& params) {
    linkType type = params.transportGiven && params.transport != kTransportRecover
                        ? params.transport
                        : static_cast<linkType>(0);
    if (params.routerSerial != 0) {
        display.message(CLI_Display::LEVEL_INFO,
                        "Searching for Kestrix Network devices connected to %08X",
                        params.routerSerial);
        std::vector<DeviceInfo> list =
            updater.Discover_KXNetwork_Devices(params.routerSerial, type);
        _display_device_list(display, list, type);
        return 0;
    }
    display.message(CLI_Display::LEVEL_INFO, "Searching for Kestrix devices");
    if (type == 0) {
        type = USB;
    }
    std::vector<DeviceInfo> list = updater.Discover_Devices(type);
    _display_device_list(display, list, type);
    return 0;
}

// "-U": an update over the module's link, or a recovery through the chip's boot ROM.
int _update(CLI_Display& display, Updater& updater, Parameters& params) {
    unsigned build = _build_number(params.build);
    updater.Set_UEIBytes_Load(params.ueiBytesLoad);
    bool done = false;
    if (params.transport == kTransportRecover) {
        done = updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                        params.serialNumber, params.birdFile, params.overrideModel);
    } else if (params.serialNumber == 0) {
        display.message(CLI_Display::LEVEL_ERROR, "Must specify the specific device to be updated");
    } else {
        done = updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                       params.moduleAddress, params.routerSerial,
                                       params.overrideModel);
    }
    return done ? 0 : 1;
}

// "-B", "-L", "-J" need a device; false (with the usage shown) when none was given.
bool _require_device(CLI_Display& display, Parameters& params, const char* command) {
    if (params.serialNumber != 0) {
        return true;
    }
    display.message(CLI_Display::LEVEL_ERROR,
                    "Error must supply a serial number for the %s command", command);
    _display_usage(display, false, false);
    return false;
}

// Everything after the usage check; the exit status.
int _run(CLI_Display& display, Parameters& params) {
    if (!_ensure_storage_directory(display, params)) {
        return 1;
    }
    Updater updater(params.serverUrl.c_str(), params.storageDir.c_str(), display);
    int status = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(CLI_Display::LEVEL_ERROR,
                            "Must specify the serial port used for connecting");
            return 1;
        }
        if (!_fingerprint(display, updater, params)) {
            status = 1;
        }
    }
    if (params.commands.IsSet(CMD_GET)) {
        if (params.serialNumber == 0) {
            display.message(CLI_Display::LEVEL_ERROR, "-G must specify a specific device via -d");
            display.message(CLI_Display::LEVEL_ERROR, "--help for usage information");
            return 1;
        }
        // A download that succeeds does not clear an earlier fingerprint failure.
        if (!_download(display, updater, params)) {
            status = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER)) {
        return _discover(display, updater, params);
    }
    if (params.commands.IsSet(CMD_UPDATE)) {
        return _update(display, updater, params);
    }
    if (params.commands.IsSet(CMD_BUILDS)) {
        if (!_require_device(display, params, "List Builds")) {
            return 1;
        }
        std::map<std::string, std::string> builds = updater.Get_BuildList(params.serialNumber);
        _display_builds(display, builds, params.serialNumber);
        return 0;
    }
    if (params.commands.IsSet(CMD_LOCAL_BUILDS)) {
        if (!_require_device(display, params, "List Local Builds")) {
            return 1;
        }
        std::map<std::string, std::string> builds = updater.Get_BuildListLocal(params.serialNumber);
        _display_builds(display, builds, params.serialNumber);
        return 0;
    }
    if (params.commands.IsSet(CMD_JWT)) {
        if (!_require_device(display, params, "Get JWT")) {
            return 1;
        }
        _display_jwt(display, updater.Get_JWT(params.serialNumber));
        return 0;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(display, false, false);
        _release_params(&params);
        return 1;
    }
    _display_app_version(display);

    int status = 0;
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(kAnyCommand)) {
        _display_copyright(display);
        _display_usage(display, params.logMaskGiven, params.helpRequested);
    } else {
        status = _run(display, params);
    }
    _release_params(&params);
    return status;
}
