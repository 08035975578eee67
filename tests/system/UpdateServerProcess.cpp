#include "UpdateServerProcess.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "TestFiles.h"

namespace {

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
    const kxtest::ChildProcess::ReadyLine ready =
        process_.start(args, logDir_ + "/stderr.log", options.startTimeout);
    const std::string& line = ready.text;
    if (ready.complete && line.starts_with("kestrix-update-server ready ")) {
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
    return process_.stop(signal);
}

std::vector<std::string> UpdateServerProcess::accessLog() const {
    std::vector<std::string> lines;
    std::istringstream text(kxtest::read_file(logDir_ + "/access.log"));
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
    return kxtest::read_file(logDir_ + "/stderr.log");
}
