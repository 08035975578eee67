// The Updater's server-facing half called directly, against a real kestrix-update-server
// on 127.0.0.1: what it shows on the display while a download runs, how it rejects bad
// arguments and an unusable store, and where load_bird takes its image from.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestFirmwareRoot.h"
#include "UpdateServerProcess.h"
#include "Updater.h"
#include "temp_dir.h"

namespace {

constexpr unsigned kSerial = 0x40F5849A;
constexpr unsigned kOlder = 99528558;
constexpr unsigned kLatest = 99528600;

// Keeps every call as one line of text: "info: ...", "error: ...", "spinner on", ...
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool on) override {
        events.push_back(on ? "progress on" : "progress off");
    }
    void update_progress(double, const char*) override { events.push_back("progress"); }
    void update_spinner(bool on, const char* label) override {
        events.push_back(std::string(on ? "spinner on " : "spinner off ") + (label ? label : ""));
    }
    void info_message(const char* text) override { events.push_back(std::string("info: ") + text); }
    void error_message(const char* text) override {
        events.push_back(std::string("error: ") + text);
    }

    std::vector<std::string> errors() const {
        std::vector<std::string> found;
        for (const std::string& event : events) {
            if (event.rfind("error: ", 0) == 0) {
                found.push_back(event.substr(7));
            }
        }
        return found;
    }
    size_t count(const std::string& event) const {
        return std::count(events.begin(), events.end(), event);
    }

    std::vector<std::string> events;
};

class UpdaterDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        firmware.addImage(kSerial, kOlder, "2.10.4");
        firmware.addImage(kSerial, kLatest, "2.10.12");
        startServer(nlohmann::json::array());
    }

    void startServer(const nlohmann::json& faults) {
        server.reset();
        firmware.writeConfig(
            {{"devices", {{"40F5849A", {{"firmware", "kx-hub"}}}}}, {"faults", faults}});
        server = std::make_unique<UpdateServerProcess>(
            UpdateServerProcess::Options{.binary = KX_UPDATE_SERVER_BIN,
                                         .root = firmware.root(),
                                         .config = firmware.configFile()});
    }

    Updater updater(const std::string& storage) {
        return Updater(server->url().c_str(), storage.c_str(), display);
    }

    std::string deviceDir() const { return store + "/40F5849A"; }

    TempDir dir;
    TestFirmwareRoot firmware{dir.path()};
    std::unique_ptr<UpdateServerProcess> server;
    RecordingDisplay display;
    const std::string store = dir / "updater";
};

TEST_F(UpdaterDownload, SpinnerTurnsUntilTheImageArrivesThenClears) {
    startServer({{{"match", {{"op", "bird"}}}, {"kind", "delay"}, {"ms", 300}}});
    EXPECT_EQ(updater(store).Download_Firmware(kSerial, "", false, false), kLatest);
    EXPECT_TRUE(display.errors().empty());

    // Every spinner call is one uninterrupted run of frames and one clearing call at its end.
    auto first = std::find(display.events.begin(), display.events.end(), "spinner on Downloading");
    ASSERT_NE(first, display.events.end());
    auto last = std::find(first, display.events.end(), "spinner off Downloading");
    ASSERT_NE(last, display.events.end());
    EXPECT_TRUE(std::all_of(first, last,
                            [](const std::string& e) { return e == "spinner on Downloading"; }));
    EXPECT_GE(last - first, 2) << "the wait of 300 ms shows more than the first frame";
    EXPECT_EQ(display.count("spinner off Downloading"), 1u);
    EXPECT_TRUE(std::filesystem::exists(deviceDir() + "/99528600.bird"));
}

TEST_F(UpdaterDownload, BadArgumentsAndAnUnusableStoreFailBeforeAnyImageRequest) {
    const std::string fileStore = dir.write("not-a-directory", "x");
    const struct {
        const char* name;
        std::string storage;
        unsigned serial;
        std::string build;
        std::string error;
    } cases[] = {
        {"not a number", store, kSerial, "abc", "Build number 'abc' must be an number"},
        {"beyond 32 bits", store, kSerial, "4294967296",
         "Build number '4294967296' must be an number"},
        {"no device", store, 0, "", "Serial Number must be non-zero"},
        {"store is a file", fileStore, kSerial, "",
         "Failed to Create UpdaterStore in: Download_Firmware - Exception: UpdaterStore: " +
             fileStore + " exists and is a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        display.events.clear();
        EXPECT_EQ(updater(c.storage).Download_Firmware(c.serial, c.build, false, false), 0u);
        EXPECT_EQ(display.errors(), std::vector<std::string>{c.error});
    }
    for (const std::string& target : server->requestTargets()) {
        EXPECT_EQ(target.find("op=bird"), std::string::npos) << target;
    }
    EXPECT_FALSE(std::filesystem::exists(deviceDir()));
}

TEST_F(UpdaterDownload, LoadBirdTakesAGivenPathAsItIs) {
    const std::string path = firmware.root() + "/40F5849A/99528558.bird";
    server->stop();  // neither the server nor the device's store directory is needed
    BirdFile bird = updater(store).load_bird("Updating", path, kSerial, kLatest, true);
    EXPECT_EQ(bird.GetBuild(), kOlder);
    EXPECT_EQ(display.events, std::vector<std::string>{"info: Updating from Birdfile: " + path});
    EXPECT_FALSE(std::filesystem::exists(deviceDir()));
}

TEST_F(UpdaterDownload, LoadBirdDownloadsAMissingBuildOnlyWhenAsked) {
    EXPECT_THROW(
        {
            try {
                updater(store).load_bird("Updating", "", kSerial, kOlder, false);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Error reading birdfile");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(deviceDir() + "/99528558.bird"));

    const struct {
        unsigned build;
        unsigned loaded;
    } cases[] = {{kOlder, kOlder}, {0, kLatest}};  // 0: the latest, stored under its number
    for (const auto& c : cases) {
        SCOPED_TRACE(c.build);
        display.events.clear();
        BirdFile bird = updater(store).load_bird("Recovering", "", kSerial, c.build, true);
        EXPECT_EQ(bird.GetBuild(), c.loaded);
        EXPECT_EQ(display.count("info: Downloading firmware build " + std::to_string(c.build)), 1u);
        EXPECT_TRUE(display.errors().empty());
    }

    // Once stored, the image is read without the server.
    server->stop();
    display.events.clear();
    EXPECT_EQ(updater(store).load_bird("Updating", "", kSerial, kOlder, false).GetBuild(), kOlder);
    EXPECT_EQ(display.events,
              std::vector<std::string>{"info: Updating firmware with build: 99528558"});
}

}  // namespace
