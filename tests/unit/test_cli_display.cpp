// The console display and the debug log: message routing and muting, the exact bytes
// of the progress bar, spinner and line clearing on a terminal, their absence when
// standard output is a file, and the log's package mask.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CLI_Display.h"
#include "Log.h"
#include "TestFiles.h"
#include "UpdaterDisplayInterface.h"
#include "temp_dir.h"

namespace {

using Level = UpdaterDisplayInterface::Level;

// Records what message() hands to each slot.
class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { lines.emplace_back(LEVEL_INFO, text); }
    void error_message(const char* text) override { lines.emplace_back(LEVEL_ERROR, text); }

    std::vector<std::pair<Level, std::string>> lines;
};

TEST(UpdaterDisplayInterface, RoutesFormattedTextByLevelAndHonoursMute) {
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "build %u of %08X", 7u, 0x40F5849Au);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "failed %d", 5);
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "hidden");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "back");

    std::vector<std::pair<Level, std::string>> expected = {
        {UpdaterDisplayInterface::LEVEL_INFO, "build 7 of 40F5849A"},
        {UpdaterDisplayInterface::LEVEL_ERROR, "failed 5"},
        {UpdaterDisplayInterface::LEVEL_INFO, "back"},
    };
    EXPECT_EQ(display.lines, expected);
}

TEST(UpdaterDisplayInterface, CutsLongTextAt2047Characters) {
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", std::string(3000, 'a').c_str());
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0].second, std::string(2047, 'a'));
}

// Points one standard descriptor somewhere else for the life of the object.
class Redirect {
  public:
    Redirect(int target, int replacement) : target(target), saved(dup(target)) {
        fflush(nullptr);
        dup2(replacement, target);
    }
    ~Redirect() {
        fflush(nullptr);
        dup2(saved, target);
        close(saved);
    }

  private:
    int target;
    int saved;
};

TEST(CLI_Display, InfoGoesToStandardOutputAndErrorsToStandardError) {
    TempDir dir;
    const std::string outPath = dir / "out", errPath = dir / "err";
    {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        CLI_Display display;
        {
            Redirect toOut(STDOUT_FILENO, out), toErr(STDERR_FILENO, err);
            display.message(CLI_Display::LEVEL_INFO, "Searching for %s", "Kestrix devices");
            display.message(CLI_Display::LEVEL_ERROR, "Download failed");
            display.info_message("direct");
        }
        close(out);
        close(err);
    }
    EXPECT_EQ(kxtest::read_file(outPath), "Searching for Kestrix devices\ndirect\n");
    EXPECT_EQ(kxtest::read_file(errPath), "Download failed\n");
}

TEST(CLI_Display, DrawsNothingWhenStandardOutputIsAFile) {
    TempDir dir;
    const std::string outPath = dir / "out";
    {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        CLI_Display display;
        {
            Redirect toOut(STDOUT_FILENO, out);
            display.display_progress(true);
            display.update_progress(0.5, nullptr);
            display.update_progress(0.5, "Firmware");
            display.display_progress(false);
            display.update_spinner(true, "Downloading");
            display.update_spinner(true, nullptr);
            display.update_spinner(false, "Downloading");
            display.message(CLI_Display::LEVEL_INFO, "Update time: %.4f sec", 1.5);
        }
        close(out);
    }
    EXPECT_EQ(kxtest::read_file(outPath), "Update time: 1.5000 sec\n");
}

// Standard output on a raw pseudo-terminal, read back byte for byte from its master.
class TerminalOutput : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        termios raw{};
        ASSERT_EQ(tcgetattr(slave, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
        redirect = std::make_unique<Redirect>(STDOUT_FILENO, slave);
    }
    void TearDown() override {
        redirect.reset();
        close(slave);
        close(master);
    }

    // Everything drawn since the last call: a marker is written after it and the master
    // is read, within a deadline, up to that marker.
    std::string drawn() {
        const char marker = '\x01';
        EXPECT_EQ(write(STDOUT_FILENO, &marker, 1), 1);
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            char buffer[512];
            ssize_t count = read(master, buffer, sizeof(buffer));
            if (count <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(count));
            if (!text.empty() && text.back() == marker) {
                text.pop_back();
                return text;
            }
        }
        ADD_FAILURE() << "terminal output did not arrive in time";
        return text;
    }

    CLI_Display display;
    int master = -1;
    int slave = -1;
    std::unique_ptr<Redirect> redirect;
};

std::string _bar(int filled, int pad, int percent, const char* label = nullptr) {
    char tail[16];
    snprintf(tail, sizeof(tail), "] (%3d%% ) ", percent);
    std::string start = label ? std::string("\r (") + label + ") [" : std::string("\r[");
    return start + std::string(filled, '=') + ">" + std::string(pad, ' ') + tail;
}

const std::string kClearedLine = "\r" + std::string(88, ' ') + "\r";

TEST_F(TerminalOutput, ProgressBarBytes) {
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    };
    const Case cases[] = {
        // Empty bar: no "=", the arrow, 68 blanks, the percentage in three places.
        {0.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {0.5, nullptr, _bar(34, 34, 50)},
        // Full bar: the pad width is -1, printed as one blank.
        {1.0, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
        // A label of 8 characters narrows the bar to 69 - 8 - 4 = 57.
        {0.25, "Firmware", _bar(14, 42, 25, "Firmware")},
        {1.0, "Firmware", "\r (Firmware) [" + std::string(57, '=') + "> ] (100% ) "},
        // Fractions outside 0 to 1 are held to the bar's ends.
        {-0.5, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {1.5, nullptr, "\r[" + std::string(69, '=') + "> ] (100% ) "},
    };
    for (const Case& c : cases) {
        display.update_progress(c.fraction, c.label);
        EXPECT_EQ(drawn(), c.expected) << "fraction " << c.fraction;
    }
}

TEST_F(TerminalOutput, ProgressOpensSilentlyAndClosesByClearingTheLine) {
    display.display_progress(true);
    EXPECT_EQ(drawn(), "");
    display.update_progress(0.5, nullptr);
    display.display_progress(false);
    EXPECT_EQ(drawn(), _bar(34, 34, 50) + kClearedLine);
}

TEST_F(TerminalOutput, SpinnerCyclesThroughEightFramesAndClears) {
    const std::vector<std::string> frames = {".",     "..",   "...", "....",
                                             ".....", "....", "...", ".."};
    // The frame counter is shared by the whole process, so the cycle may be anywhere:
    // turn it to the one-dot frame (the only frame that appears once), then follow a lap.
    bool atStart = false;
    for (size_t i = 0; i < frames.size() && !atStart; ++i) {
        display.update_spinner(true, nullptr);
        std::string frame = drawn();
        ASSERT_EQ(frame.substr(0, 2), "\r ");
        atStart = frame == "\r .      \r";
    }
    ASSERT_TRUE(atStart) << "the one-dot frame never came round";
    for (size_t step = 1; step <= frames.size(); ++step) {
        const std::string& frame = frames[step % frames.size()];
        display.update_spinner(true, "Downloading");
        EXPECT_EQ(drawn(), "\r (Downloading) " + frame + "      \r") << "step " << step;
    }
    display.update_spinner(false, "Downloading");
    EXPECT_EQ(drawn(), kClearedLine);
}

// The log's mask and output state are process-wide; each test leaves them cleared.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        stream = open_memstream(&buffer, &size);
        ASSERT_NE(stream, nullptr);
        Log::DeactivatePackage(~0u);
        Log::SetOutput(stream);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(~0u);
        fclose(stream);
        free(buffer);
    }
    std::string written() {
        fflush(stream);
        return std::string(buffer, size);
    }

    FILE* stream = nullptr;
    char* buffer = nullptr;
    size_t size = 0;
};

TEST_F(LogTest, WritesOnlyActivePackagesAndAlwaysMaskZero) {
    Log::log(kLogNetworkFirm, "firm 1\n");
    Log::log(0, "always ");
    Log::ActivatePackage(kLogApp | kLogNetworkFirm);
    Log::log(kLogNetworkFirm, "firm %d\n", 2);
    Log::log(kLogUpdater, "updater\n");
    Log::DeactivatePackage(kLogNetworkFirm);
    Log::log(kLogNetworkFirm, "firm 3\n");
    Log::log(kLogApp | kLogUpdater, "app\n");
    EXPECT_EQ(written(), "always firm 2\napp\n");
}

TEST_F(LogTest, WritesExactlyTheFormattedTextCutAt2047) {
    Log::log(0, "%s", std::string(3000, 'x').c_str());
    EXPECT_EQ(written(), std::string(2047, 'x'));
}

TEST_F(LogTest, WritesNothingWithoutAnOutput) {
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(stream);
    EXPECT_EQ(written(), "");
}

}  // namespace
