#include "UpdateHttpServer.h"

#include <httplib.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace {

// Requests are plain GETs with a short query; anything bigger is not ours.
constexpr size_t MAX_PAYLOAD = 4096;
// Idle or trickling clients must not hold a worker forever.
constexpr time_t READ_TIMEOUT_SECONDS = 10;
constexpr time_t KEEP_ALIVE_SECONDS = 5;

std::string _utcNow() {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

UpdateHttpServer::UpdateHttpServer(UpdateService& service, FILE* accessLog, const Options& options)
    : service(service), accessLog(accessLog), options(options), secure(!options.certFile.empty()) {
    if (secure) {
        server =
            std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
        if (!server->is_valid()) {
            throw std::runtime_error("cannot load the certificate " + options.certFile +
                                     " or the key " + options.keyFile);
        }
    } else {
        server = std::make_unique<httplib::Server>();
    }
    server->set_payload_max_length(MAX_PAYLOAD);
    server->set_read_timeout(READ_TIMEOUT_SECONDS, 0);
    server->set_keep_alive_timeout(KEEP_ALIVE_SECONDS);
    server->set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            if (request.method == "GET" || request.method == "HEAD") {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            response.status = 405;
            response.set_content("method not allowed\n", "text/plain");
            LogRequest(request, response.status, response.body.size(), "");
            return httplib::Server::HandlerResponse::Handled;
        });
    server->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        Handle(request, response);
    });
}

UpdateHttpServer::~UpdateHttpServer() = default;

int UpdateHttpServer::Bind() {
    if (options.port == 0) {
        port = server->bind_to_any_port(options.host);
    } else {
        port = server->bind_to_port(options.host, options.port) ? options.port : -1;
    }
    if (port <= 0) {
        throw std::runtime_error("cannot listen on " + options.host + ":" +
                                 std::to_string(options.port));
    }
    return port;
}

std::string UpdateHttpServer::Url() const {
    std::string host =
        options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    return std::string(secure ? "https" : "http") + "://" + host + ":" + std::to_string(port) +
           "/cgi/u";
}

bool UpdateHttpServer::Run() {
    {
        std::lock_guard lock(stateMutex);
        if (stopping) {
            return true;
        }
        running = true;
    }
    bool served = server->listen_after_bind();
    std::lock_guard lock(stateMutex);
    finished = true;
    stateChanged.notify_all();
    return served || stopping;
}

void UpdateHttpServer::Stop() {
    std::unique_lock lock(stateMutex);
    stopping = true;
    stateChanged.notify_all();
    // The listener may not have taken up its socket yet, in which case a stop request
    // is lost; repeat it until Run has returned.
    while (running && !finished) {
        server->stop();
        stateChanged.wait_for(lock, std::chrono::milliseconds(50));
    }
}

void UpdateHttpServer::Delay(std::chrono::milliseconds delay) {
    std::unique_lock lock(stateMutex);
    stateChanged.wait_for(lock, delay, [this] { return stopping; });
}

void UpdateHttpServer::Handle(const httplib::Request& request, httplib::Response& response) {
    if (request.path != "/cgi/u" && request.path != "/") {
        response.status = 404;
        response.set_content("not found\n", "text/plain");
        LogRequest(request, response.status, response.body.size(), "");
        return;
    }
    size_t question = request.target.find('?');
    Reply reply =
        service.Answer(question == std::string::npos ? "" : request.target.substr(question + 1));
    if (reply.delay.count() > 0) {
        Delay(reply.delay);
    }
    LogRequest(request, reply.status, reply.body.size(), reply.fault);
    response.status = reply.status;
    if (!reply.drop) {
        response.set_content(reply.body, "text/plain");
        return;
    }
    // Announce the whole body, send half of it, then abandon the connection.
    auto body = std::make_shared<std::string>(std::move(reply.body));
    response.set_content_provider(
        body->size(), "text/plain", [body](size_t offset, size_t length, httplib::DataSink& sink) {
            size_t half = body->size() / 2;
            if (offset >= half) {
                return false;
            }
            sink.write(body->data() + offset, std::min(length, half - offset));
            return true;
        });
}

void UpdateHttpServer::LogRequest(const httplib::Request& request, int status, size_t bytes,
                                  const std::string& fault) {
    std::string line = _utcNow() + " " + request.remote_addr + " \"" + request.method + " " +
                       request.target + "\" " + std::to_string(status) + " " +
                       std::to_string(bytes);
    if (!fault.empty()) {
        line += " fault=" + fault;
    }
    std::lock_guard lock(logMutex);
    std::fprintf(accessLog, "%s\n", line.c_str());
    std::fflush(accessLog);
}
