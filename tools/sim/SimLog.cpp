#include "SimLog.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "SimUnit.h"

namespace kxsim {

namespace {

double sNow() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) /
           1e6;
}

}  // namespace

Log::Log(const std::string& path) {
    if (path.empty()) {
        return;
    }
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) {
        throw std::runtime_error("cannot open the log " + path);
    }
}

Log::~Log() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void Log::packet(const std::string& module, const char* dir, const std::vector<uint8_t>& bytes) {
    if (file_ != nullptr) {
        line(nlohmann::json{
            {"ts", sNow()}, {"module", module}, {"dir", dir}, {"bytes", hexText(bytes)}}
                 .dump());
    }
}

void Log::event(const std::string& module, const std::string& event, const std::string& detail) {
    if (file_ != nullptr) {
        line(
            nlohmann::json{{"ts", sNow()}, {"module", module}, {"event", event}, {"detail", detail}}
                .dump());
    }
}

void Log::line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
}

}  // namespace kxsim
