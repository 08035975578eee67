// A kestrix-sim child process for tests and benchmarks: started with a configuration,
// ready once it has printed its ready line (read within a deadline), stopped with
// SIGTERM when the object goes. Header-only, so unit tests and benchmarks can share it.
#ifndef KESTRIX_TESTS_SIMPROCESS_H
#define KESTRIX_TESTS_SIMPROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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
    int stop(int signal = SIGTERM) {
        if (pid_ <= 0) {
            return -1;
        }
        kill(pid_, signal);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string errorOutput() const {
        std::ifstream file(dir_ + "/stderr.log");
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

  private:
    void start(const std::string& binary, std::chrono::milliseconds startTimeout) {
        std::vector<std::string> args = {binary, "--config", dir_ + "/config.json"};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const std::string errorPath = dir_ + "/stderr.log";
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        const int rc =
            posix_spawn(&pid_, binary.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            pid_ = -1;
            throw std::runtime_error("cannot start " + binary);
        }
        const bool complete =
            readLine(out[0], std::chrono::steady_clock::now() + startTimeout, readyLine_);
        close(out[0]);
        ready_ = complete ? nlohmann::json::parse(readyLine_, nullptr, false) : nlohmann::json();
        if (!ready_.is_object() || !ready_.value("ready", false)) {
            stop(SIGKILL);
            throw std::runtime_error("kestrix-sim did not start: [" + readyLine_ + "] " +
                                     errorOutput());
        }
    }

    // Reads one line from fd within the deadline; false on time-out or end of file.
    static bool readLine(int fd, std::chrono::steady_clock::time_point deadline,
                         std::string& line) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd waiting{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            char c = 0;
            if (read(fd, &c, 1) != 1) {
                return false;
            }
            if (c == '\n') {
                return true;
            }
            line += c;
        }
    }

    pid_t pid_ = -1;
    std::string dir_;
    std::string readyLine_;
    nlohmann::json ready_;
};

#endif
