// Compact JSON Web Tokens (RFC 7519) signed with HMAC-SHA256 ("HS256").
#ifndef KESTRIX_UPDATE_SERVER_JWT_H
#define KESTRIX_UPDATE_SERVER_JWT_H

#include <string>

#include <nlohmann/json.hpp>

// Base64url without padding (RFC 4648 section 5), as JWT parts use it.
std::string Base64Url(const std::string& bytes);

// header.payload.signature for the claims, with the header {"alg":"HS256","typ":"JWT"}.
// Throws std::runtime_error when encoding or signing fails.
std::string MakeJwt(const nlohmann::json& claims, const std::string& key);

#endif
