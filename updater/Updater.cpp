#include "Updater.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "KeyValueStore.h"
#include "Log.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "aDirectory.h"
#include "base64.h"

namespace {

// Reports an operation that this build does not carry.
void _unavailable(UpdaterDisplayInterface& display, const char* operation) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s is not available in this build",
                    operation);
}

}  // namespace

Updater::Updater(const char* serverUrl, const char* storageDir, UpdaterDisplayInterface& display)
    : serverUrl(serverUrl), storageDir(storageDir), display(display) {}

// Discovery.

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    _unavailable(display, "Discover_Devices");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_KXNetwork_Devices(unsigned, linkType) {
    _unavailable(display, "Discover_KXNetwork_Devices");
    return {};
}

// Build lists and download.

namespace {

// How often the spinner turns while a download runs.
constexpr std::chrono::milliseconds kSpinnerPeriod{100};
constexpr const char* kDownloadingLabel = "Downloading";

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// The leading decimal digits of text, read as std::stoul reads them; false when there
// are none or the number does not fit 32 bits.
bool _to_build_number(const std::string& text, unsigned& number) {
    try {
        unsigned long value = std::stoul(text);
        if (value > UINT_MAX) {
            return false;
        }
        number = static_cast<unsigned>(value);
        return true;
    } catch (const std::logic_error&) {
        return false;
    }
}

// The build text as a number, 0 (logged) when it is not one.
unsigned _build_or_zero(const std::string& text) {
    unsigned number = 0;
    if (!_to_build_number(text, number)) {
        Log::log(kLogUpdater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return number;
}

// True when the server answers; reports the outage otherwise.
bool _server_reachable(UpdaterDisplayInterface& display, const std::string& serverUrl) {
    if (UpdateServerRequest::ping(serverUrl.c_str())) {
        return true;
    }
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    return false;
}

// A store on directory, or null (reported, naming caller) when it cannot be made.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& directory,
                                                  const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(directory.c_str());
    } catch (const std::runtime_error& e) {
        display.message(kError, "Failed to Create UpdaterStore in: %s - Exception: %s", caller,
                        e.what());
        return nullptr;
    }
}

// True when the server lists build for the device.
bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl)) {
        return false;
    }
    for (const auto& entry : builds) {
        if (_build_or_zero(entry.first) == build) {
            return true;
        }
    }
    return false;
}

// The version of the stored image item, empty when it cannot be read.
std::string _stored_version(const UpdaterStoreItem& item) {
    const std::string path = item.directory + "/" + item.name;
    if (!BirdFile::VerifyFile(path.c_str())) {
        Log::log(kLogUpdater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        return {};
    }
    try {
        std::string version = BirdFile(path.c_str()).GetVersion();
        if (!version.empty()) {
            Log::log(kLogUpdater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
        }
        return version;
    } catch (const std::runtime_error&) {
        return {};  // a header that verifies over a payload that does not load
    }
}

// Runs the image request on a worker thread while the main thread turns the spinner,
// so the operator sees the tool alive during a long transfer. The Base64 text of the
// image; empty when none came.
std::string _fetch_build(UpdaterDisplayInterface& display, const std::string& serverUrl,
                         unsigned serialNumber, const std::string& firmwareName,
                         const std::string& build, bool noCalibration) {
    std::string data;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    // The worker has its own copies of the arguments; data and done outlive it because
    // it is joined below.
    std::thread worker(
        [serialNumber, firmwareName, build, noCalibration, url = serverUrl.c_str(), &data, &done] {
            done.set_value(UpdateServerRequest::GetBuild(serialNumber, firmwareName.c_str(),
                                                         build.c_str(), data, url, noCalibration));
        });
    // One frame at once, so even an instant answer shows that a download took place.
    display.update_spinner(true, kDownloadingLabel);
    while (result.wait_for(kSpinnerPeriod) != std::future_status::ready) {
        display.update_spinner(true, kDownloadingLabel);
    }
    display.update_spinner(false, kDownloadingLabel);
    bool ok = result.get();
    worker.join();
    if (!ok) {
        display.message(kError, "Download failed");
    }
    return data;
}

// Decodes the Base64 text and stores it as fileName in the device directory, then
// records the download in the device's settings. The bytes are staged under a hidden
// name and must load as a BIRD image before they replace anything: a damaged reply
// must never become the newest build, nor leave an earlier file or setting changed.
bool _store_build(UpdaterDisplayInterface& display, UpdaterStoreItem& device,
                  const std::string& fileName, const std::string& data) {
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
        base64_decode(data.data(), data.size(), &length), &std::free);
    if (!bytes) {
        Log::log(kLogUpdater, "Download of %s is not Base64 text\n", fileName.c_str());
        display.message(kError, "Failed to retrieve a valid BIRD file");
        return false;
    }
    const std::string stamp = KeyValueStore::TimeStamp();
    const std::string staged = "." + fileName + ".part";  // hidden: never listed as a build
    if (aErr err = device.WriteFile(staged.c_str(), bytes.get(), length); err != aErrNone) {
        display.message(kError, "Failed to write file with %d", err);
        return false;
    }
    bytes.reset();
    const std::string directory = BuildPath(device.directory.c_str(), device.name.c_str(), nullptr);
    const std::string stagedPath = BuildPath(directory.c_str(), staged.c_str(), nullptr);
    try {
        device.ReadBirdFile(staged.c_str());
    } catch (const std::runtime_error& e) {
        Log::log(kLogUpdater, "Download of %s is no BIRD image: %s\n", fileName.c_str(), e.what());
        std::remove(stagedPath.c_str());
        display.message(kError, "Failed to retrieve a valid BIRD file");
        return false;
    }
    const std::string path = BuildPath(directory.c_str(), fileName.c_str(), nullptr);
    if (std::rename(stagedPath.c_str(), path.c_str()) != 0) {
        std::remove(stagedPath.c_str());
        display.message(kError, "Failed to write file with %d", aErrIO);
        return false;
    }
    device.settings.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, fileName);
    device.settings.Add(UpdaterStore::KEY_LAST_DOWNLOAD_DATE, stamp);
    device.settings.Save(nullptr);
    return true;
}

}  // namespace

std::map<std::string, std::string> Updater::Get_BuildList(unsigned serialNumber) {
    std::map<std::string, std::string> builds;
    if (!_server_reachable(display, serverUrl)) {
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str())) {
        display.message(kError, "Failed to retrieve builds for %08X", serialNumber);
    }
    return builds;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned serialNumber) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDir, "Get_BuildListLocal");
    if (!store) {
        return builds;
    }
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serialNumber, items);
    for (const UpdaterStoreItem& item : items) {
        // An image is listed by its build number; any other file by its whole name.
        std::string key = item.name.substr(0, item.name.find(".bird"));
        builds.emplace(std::move(key), item.IsValid() ? _stored_version(item) : std::string());
    }
    return builds;
}

std::string Updater::Get_JWT(unsigned serialNumber) {
    std::string token;
    if (!_server_reachable(display, serverUrl)) {
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serialNumber, token, serverUrl.c_str())) {
        display.message(kError, "Failed to retrieve jwt for %08X", serialNumber);
    }
    return token;
}

unsigned Updater::Download_Firmware(unsigned serialNumber, std::string build, bool overrideModel,
                                    bool noCalibration) {
    unsigned buildNumber = 0;  // 0: the latest
    if (!build.empty() && !_to_build_number(build, buildNumber)) {
        display.message(kError, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serialNumber == 0) {
        display.message(kError, "Serial Number must be non-zero");
        return 0;
    }
    if (!_server_reachable(display, serverUrl)) {
        return 0;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, storageDir, "Download_Firmware");
    if (!store) {
        return 0;
    }
    UpdaterStoreItem device;
    if (!store->FindDevice(serialNumber, &device)) {
        Log::log(kLogApp, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serialNumber);
        } catch (const std::runtime_error&) {
            display.message(kError, "Could not create directory for storing BIRD file");
            return 0;
        }
    }
    // Asked even for a given build: the image request needs the firmware name.
    std::string latest;
    std::string firmwareName;
    if (!UpdateServerRequest::QueryBuild(serialNumber, latest, firmwareName, serverUrl.c_str())) {
        display.message(kError, "No build information for device");
        return 0;
    }
    if (buildNumber == 0) {
        buildNumber = _build_or_zero(latest);
    }
    display.message(kInfo, "Retrieving build %u", buildNumber);
    if (overrideModel) {
        display.message(kInfo, "Override specified, skipping validation of build %u", buildNumber);
    } else {
        display.message(kInfo, "Validating build %u with server", buildNumber);
        if (!_valid_build(serialNumber, buildNumber, serverUrl.c_str())) {
            display.message(kError, "No valid build %u", buildNumber);
            return 0;
        }
        display.message(kInfo, "Build %u is valid", buildNumber);
    }
    build = std::to_string(buildNumber);
    std::string data =
        _fetch_build(display, serverUrl, serialNumber, firmwareName, build, noCalibration);
    if (data.empty()) {
        display.message(kError, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    if (!_store_build(display, device, build + ".bird", data)) {
        return 0;
    }
    return buildNumber;
}

BirdFile Updater::load_bird(const char* verb, std::string birdFile, unsigned serialNumber,
                            unsigned build, bool downloadIfMissing) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storageDir, "load_bird");
    if (!store) {
        return BirdFile();
    }
    if (!birdFile.empty()) {
        display.message(kInfo, "%s from Birdfile: %s", verb, birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStoreItem device = store->AddDevice(serialNumber);
    display.message(kInfo, "%s firmware with build: %u", verb, build);
    std::string fileName = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(fileName.c_str());
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing) {
            throw std::runtime_error("Error reading birdfile");
        }
    }
    display.message(kInfo, "Downloading firmware build %u", build);
    // Build 0 asks for the latest, which is stored under its own number.
    if (unsigned stored = Download_Firmware(serialNumber, std::to_string(build), false, false)) {
        fileName = std::to_string(stored) + ".bird";
    }
    return device.ReadBirdFile(fileName.c_str());
}

// Firmware update.

bool Updater::Update_Firmware(unsigned, unsigned, std::string, unsigned char, unsigned, bool) {
    _unavailable(display, "Update_Firmware");
    return false;
}

// Chip recovery and fingerprint.

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) {
    _unavailable(display, "Get_Fingerprint");
    return false;
}

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    _unavailable(display, "Recover_Firmware");
    return false;
}
