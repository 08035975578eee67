// A kestrix-sim child process for tests and benchmarks: started with a configuration,
// ready once it has printed its ready line (read within a deadline), stopped with
// SIGTERM when the object goes. Header-only over kx_test_support, so unit tests and
// benchmarks can share it.
#ifndef KESTRIX_TESTS_SIMPROCESS_H
#define KESTRIX_TESTS_SIMPROCESS_H

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "ChildProcess.h"
#include "TestFiles.h"

class SimProcess {
  public:
    // Writes config to a file of its own, starts binary on it and waits for the ready
    // line. Throws std::runtime_error, with the simulator's standard error, when it exits
    // or stays silent instead.
    SimProcess(const std::string& binary, const nlohmann::json& config,
               std::chrono::milliseconds startTimeout = std::chrono::seconds(10)) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kx-sim-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = pattern;
        std::ofstream(dir_ + "/config.json") << config.dump(2);
        start(binary, startTimeout);
    }
    ~SimProcess() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The ready line as printed, and parsed.
    const std::string& readyLine() const { return readyLine_; }
    const nlohmann::json& ready() const { return ready_; }
    // The TCP port / pseudo-terminal path of module index (as configured).
    uint16_t port(size_t index = 0) const { return ready_["modules"].at(index)["port"]; }
    std::string serialPath(size_t index = 0) const { return ready_["modules"].at(index)["path"]; }
    // A directory of the process's own, removed with it (for logs).
    const std::string& dir() const { return dir_; }

    // Sends the signal and waits for the exit (SIGKILL after a 10 s grace). Returns the
    // exit status, or 128 + the signal number when a signal ended the process.
    int stop(int signal = SIGTERM) { return process_.stop(signal); }

    std::string errorOutput() const { return kxtest::read_file(dir_ + "/stderr.log"); }

  private:
    void start(const std::string& binary, std::chrono::milliseconds startTimeout) {
        const kxtest::ChildProcess::ReadyLine line = process_.start(
            {binary, "--config", dir_ + "/config.json"}, dir_ + "/stderr.log", startTimeout);
        readyLine_ = line.text;
        ready_ =
            line.complete ? nlohmann::json::parse(readyLine_, nullptr, false) : nlohmann::json();
        if (!ready_.is_object() || !ready_.value("ready", false)) {
            stop(SIGKILL);
            throw std::runtime_error("kestrix-sim did not start: [" + readyLine_ + "] " +
                                     errorOutput());
        }
    }

    kxtest::ChildProcess process_;
    std::string dir_;
    std::string readyLine_;
    nlohmann::json ready_;
};

#endif
