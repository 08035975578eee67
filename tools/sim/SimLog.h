// The simulator's log: one JSON object per line for every packet received and sent and
// every event (connections, faults, rejected bytes), each with its time.
//   {"ts":1733929200.123456,"module":"40F5849A","dir":"rx","bytes":"AD 00"}
//   {"ts":1733929200.124001,"module":"40F5849A","event":"fault","detail":"drop_reply"}
#ifndef KESTRIX_SIM_SIMLOG_H
#define KESTRIX_SIM_SIMLOG_H

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kxsim {

class Log {
  public:
    // Appends to the file at path; an empty path logs nothing. Throws std::runtime_error
    // when the file cannot be opened.
    explicit Log(const std::string& path);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // dir: "rx" (from the host) or "tx" (to the host).
    void packet(const std::string& module, const char* dir, const std::vector<uint8_t>& bytes);
    void event(const std::string& module, const std::string& event, const std::string& detail);

  private:
    void line(const std::string& text);

    std::mutex mutex_;
    FILE* file_ = nullptr;
};

}  // namespace kxsim

#endif
