// The one-function HTTP client: one blocking GET through libcurl's easy interface.
#ifndef KESTRIX_HTTPREQUEST_H
#define KESTRIX_HTTPREQUEST_H

#include <chrono>
#include <map>
#include <string>

// What one GET produced: the URL requested, the HTTP status and the body.
class HTTPResponse {
  public:
    explicit HTTPResponse(const char* request) : request(request) {}

    void set_status(long code) { status = code; }
    // Appends count bytes (any bytes) to the body.
    void process(const char* bytes, size_t count) { response.append(bytes, count); }

    const char* get_request() const { return request.c_str(); }
    const char* get_response() const { return response.c_str(); }
    // Body length; the body may hold zero bytes, so get_response alone does not tell it.
    size_t get_response_size() const { return response.size(); }
    long get_status() const { return status; }

  private:
    std::string request;
    long status = 0;
    std::string response;
};

class HTTPRequest {
  public:
    // Bounds that keep a silent server from hanging the tool: the time to establish the
    // connection, and how long a transfer may move less than one byte per second.
    struct Limits {
        std::chrono::milliseconds connectTimeout{15000};
        std::chrono::seconds stallTimeout{60};
    };

    // url, then "?" and "key=value&" for every entry in key order when query is not
    // empty. Nothing is percent-encoded: callers write "%20" themselves where needed.
    static std::string BuildURL(const char* url, const std::map<std::string, std::string>& query);

    // GETs BuildURL(url, query). HTTPS peers are verified against the system trust store,
    // or the CA file named by CURL_CA_BUNDLE. HTTP error statuses are returned in the
    // response; transport failures (connection, TLS, time-outs) throw std::runtime_error
    // with libcurl's error text.
    static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& query);
    // The same with other bounds than the default ones.
    static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& query,
                            const Limits& limits);
};

#endif
