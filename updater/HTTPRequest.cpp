#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "Log.h"

namespace {

// libcurl's write callback: every byte is accepted into the response body.
size_t _rcv_data(void* bytes, size_t size, size_t count, void* response) {
    size_t length = size * count;
    // The chunk is not terminated, so the preview is bounded by its length as well.
    int preview = static_cast<int>(std::min<size_t>(length, 100));
    Log::log(kLogServerComm, "rcv_data called (..., %zu, %zu, %08X) [%100.*s]\n", size, count,
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(response)), preview,
             static_cast<const char*>(bytes));
    static_cast<HTTPResponse*>(response)->process(static_cast<const char*>(bytes), length);
    Log::log(kLogServerComm, "rcv_data returns %zu\n", length);
    return length;
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

// Applies every option in order and stops at the first one libcurl refuses.
CURLcode _configure(CURL* curl, const std::string& url, HTTPResponse& response,
                    const HTTPRequest::Limits& limits) {
    CURLcode rc = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) {
            rc = curl_easy_setopt(curl, option, value);
        }
    };
    set(CURLOPT_WRITEFUNCTION, &_rcv_data);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&response));
    set(CURLOPT_URL, url.c_str());
    // An unverified server could hand out any firmware, so HTTPS means a verified peer.
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYSTATUS, 0L);
    // The curl command honours CURL_CA_BUNDLE; so do we, for sites with a private CA.
    const char* caBundle = std::getenv("CURL_CA_BUNDLE");
    if (caBundle != nullptr && *caBundle != '\0') {
        set(CURLOPT_CAINFO, caBundle);
    }
    // A server that stops answering must not hang the tool.
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTimeout.count()));
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stallTimeout.count()));
    // Time-outs must not use signals: downloads run on a worker thread.
    set(CURLOPT_NOSIGNAL, 1L);
    return rc;
}

}  // namespace

std::string HTTPRequest::BuildURL(const char* url,
                                  const std::map<std::string, std::string>& query) {
    std::string text = url;
    if (!query.empty()) {
        text += "?";
    }
    for (const auto& [key, value] : query) {
        text += key + "=" + value + "&";
    }
    return text;
}

HTTPResponse HTTPRequest::GET(const char* url, const std::map<std::string, std::string>& query) {
    return GET(url, query, Limits());
}

HTTPResponse HTTPRequest::GET(const char* url, const std::map<std::string, std::string>& query,
                              const Limits& limits) {
    CurlHandle curl(curl_easy_init(), &curl_easy_cleanup);
    std::string fullUrl = BuildURL(url, query);
    HTTPResponse response(fullUrl.c_str());
    if (!curl) {
        throw std::runtime_error("Could not create curl instance");
    }
    CURLcode rc = _configure(curl.get(), fullUrl, response, limits);
    if (rc == CURLE_OK) {
        Log::log(kLogServerComm, "GET(%s)\n", fullUrl.c_str());
        rc = curl_easy_perform(curl.get());
    }
    if (rc == CURLE_OK) {
        long status = 0;
        rc = curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
        response.set_status(status);
    }
    if (rc != CURLE_OK) {
        throw std::runtime_error(curl_easy_strerror(rc));
    }
    return response;
}
