#include "UpdateServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

std::string _readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Reads one line from fd within the deadline; false on time-out or end of file.
bool _readLine(int fd, std::chrono::steady_clock::time_point deadline, std::string& line) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
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

// The value of "key=" in a ready line, up to the next blank.
std::string _field(const std::string& line, const std::string& key) {
    size_t start = line.find(key + "=");
    if (start == std::string::npos) {
        return "";
    }
    start += key.size() + 1;
    return line.substr(start, line.find(' ', start) - start);
}

}  // namespace

UpdateServerProcess::UpdateServerProcess(const Options& options) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kx-server-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    logDir_ = pattern;
    std::vector<std::string> args = {options.binary, "--root",       options.root,
                                     "--config",     options.config, "--listen",
                                     "127.0.0.1:0",  "--access-log", logDir_ + "/access.log"};
    if (!options.certFile.empty()) {
        args.insert(args.end(), {"--cert", options.certFile, "--key", options.keyFile});
    }
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
    std::string errorPath = logDir_ + "/stderr.log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    int rc =
        posix_spawn(&pid_, options.binary.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + options.binary);
    }
    std::string line;
    bool ready = _readLine(out[0], std::chrono::steady_clock::now() + options.startTimeout, line);
    close(out[0]);
    if (ready && line.starts_with("kestrix-update-server ready ")) {
        port_ = std::atoi(_field(line, "port").c_str());
        url_ = _field(line, "url");
    }
    if (port_ <= 0 || url_.empty()) {
        stop(SIGKILL);
        std::string why = errorOutput();
        std::filesystem::remove_all(logDir_);
        throw std::runtime_error("update server did not start: [" + line + "] " + why);
    }
}

UpdateServerProcess::~UpdateServerProcess() {
    // A failed exit (a sanitizer report, say) is worth seeing even when no test asks.
    if (running() && stop() != 0) {
        std::cerr << "kestrix-update-server did not exit cleanly:\n" << errorOutput();
    }
    std::error_code ignored;
    std::filesystem::remove_all(logDir_, ignored);
}

int UpdateServerProcess::stop(int signal) {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, signal);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
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

std::vector<std::string> UpdateServerProcess::accessLog() const {
    std::vector<std::string> lines;
    std::istringstream text(_readFile(logDir_ + "/access.log"));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> UpdateServerProcess::requestTargets() const {
    std::vector<std::string> targets;
    for (const std::string& line : accessLog()) {
        // ... "GET /cgi/u?op=hi&rv=2&" 200 3
        size_t start = line.find("\"GET ");
        size_t end = start == std::string::npos ? start : line.find('"', start + 5);
        if (end != std::string::npos) {
            targets.push_back(line.substr(start + 5, end - start - 5));
        }
    }
    return targets;
}

std::string UpdateServerProcess::errorOutput() const {
    return _readFile(logDir_ + "/stderr.log");
}
