// A kestrix-update-server child process for tests: started on 127.0.0.1 with a free
// port, ready once it has printed its ready line, stopped (SIGTERM) when the object goes
// (which shows the server's standard error when it did not exit with 0).
// Its access log and standard error go to files in a directory of its own.
#ifndef KESTRIX_TESTS_UPDATESERVERPROCESS_H
#define KESTRIX_TESTS_UPDATESERVERPROCESS_H

#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"

class UpdateServerProcess {
  public:
    struct Options {
        std::string binary;      // path of kestrix-update-server
        std::string root;        // the firmware directory
        std::string config;      // the JSON configuration file
        std::string certFile{};  // both set: HTTPS
        std::string keyFile{};
        std::chrono::milliseconds startTimeout{10000};
    };

    // Starts the server and waits for its ready line. Throws std::runtime_error, with
    // the server's standard error, when it exits or stays silent instead.
    explicit UpdateServerProcess(const Options& options);
    ~UpdateServerProcess();
    UpdateServerProcess(const UpdateServerProcess&) = delete;
    UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

    int port() const { return port_; }
    // The URL of the ready line, e.g. "http://127.0.0.1:40123/cgi/u".
    const std::string& url() const { return url_; }

    // Sends the signal and waits for the exit (SIGKILL after a 10 s grace). Returns the
    // exit status, or 128 + the signal number when a signal ended the process.
    int stop(int signal = SIGTERM);
    bool running() const { return process_.running(); }

    // The access-log lines written so far, one per request.
    std::vector<std::string> accessLog() const;
    // The request targets of the access log ("/cgi/u?op=hi&rv=2&"), in order.
    std::vector<std::string> requestTargets() const;
    // What the server wrote to its standard error so far.
    std::string errorOutput() const;

  private:
    kxtest::ChildProcess process_;
    int port_ = 0;
    std::string url_;
    std::string logDir_;
};

#endif
