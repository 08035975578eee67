// Collects what Log writes under the given packages while the object lives.
#ifndef KESTRIX_TESTS_LOG_CAPTURE_H
#define KESTRIX_TESTS_LOG_CAPTURE_H

#include <cstdio>
#include <string>

#include "Log.h"

class LogCapture {
  public:
    explicit LogCapture(unsigned mask) : stream_(tmpfile()) {
        Log::DeactivatePackage(~0u);
        Log::ActivatePackage(mask);
        Log::SetOutput(stream_);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(~0u);
        fclose(stream_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string text() const {
        fflush(stream_);
        std::string all;
        rewind(stream_);
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, stream_)) > 0) {
            all.append(buffer, got);
        }
        fseek(stream_, 0, SEEK_END);
        return all;
    }
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

  private:
    FILE* stream_;
};

#endif
