// The HTTP(S) side of the update server: answers GET on "/cgi/u" and "/" (the form a
// bare "host:port" server URL reaches) through an UpdateService, 404 elsewhere, and
// writes one access-log line per request before its reply goes out.
#ifndef KESTRIX_UPDATE_SERVER_UPDATEHTTPSERVER_H
#define KESTRIX_UPDATE_SERVER_UPDATEHTTPSERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "UpdateService.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

class UpdateHttpServer {
  public:
    struct Options {
        std::string host = "127.0.0.1";
        int port = 8080;       // 0 picks a free port
        std::string certFile;  // both set: HTTPS
        std::string keyFile;
    };

    // accessLog stays owned by the caller and must outlive the server. Throws
    // std::runtime_error when the certificate or key cannot be loaded.
    UpdateHttpServer(UpdateService& service, FILE* accessLog, const Options& options);
    ~UpdateHttpServer();

    // Binds the listening socket; returns the port. Throws std::runtime_error on failure.
    int Bind();
    // The base URL clients use, e.g. "https://127.0.0.1:8443/cgi/u" (after Bind).
    std::string Url() const;
    // Serves until Stop; false when serving ended for another reason. Returns at once
    // when Stop came first.
    bool Run();
    // Ends Run (from any thread) and cuts injected delays short; returns once Run has.
    void Stop();

  private:
    void Handle(const httplib::Request& request, httplib::Response& response);
    void LogRequest(const httplib::Request& request, int status, size_t bytes,
                    const std::string& fault);
    // Waits for the delay or until Stop, whichever is first.
    void Delay(std::chrono::milliseconds delay);

    UpdateService& service;
    FILE* const accessLog;
    const Options options;
    const bool secure;
    std::unique_ptr<httplib::Server> server;
    int port = 0;

    std::mutex logMutex;    // one access-log line at a time
    std::mutex stateMutex;  // guards the three flags below
    std::condition_variable stateChanged;
    bool stopping = false;
    bool running = false;
    bool finished = false;
};

#endif
