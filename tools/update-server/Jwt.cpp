#include "Jwt.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "base64.h"

std::string Base64Url(const std::string& bytes) {
    size_t length = 0;
    std::unique_ptr<char, decltype(&std::free)> text(
        base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length),
        &std::free);
    if (!text) {
        throw std::runtime_error("out of memory encoding a token");
    }
    std::string url(text.get(), length);
    while (!url.empty() && url.back() == '=') {
        url.pop_back();
    }
    for (char& c : url) {
        if (c == '+') {
            c = '-';
        } else if (c == '/') {
            c = '_';
        }
    }
    return url;
}

std::string MakeJwt(const nlohmann::json& claims, const std::string& key) {
    static const nlohmann::json header = {{"alg", "HS256"}, {"typ", "JWT"}};
    std::string signingInput = Base64Url(header.dump()) + "." + Base64Url(claims.dump());
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned macLength = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size(), mac,
             &macLength) == nullptr) {
        throw std::runtime_error("cannot sign a token");
    }
    return signingInput + "." + Base64Url(std::string(reinterpret_cast<char*>(mac), macLength));
}
