#pragma once
#include <string>

// The encodings the AUTH exchanges need.
namespace smtp {

// HMAC-MD5 of data keyed by key, as 32 lower-case hexadecimal digits.
std::string HmacMd5Hex(const std::string& key, const std::string& data);
// The CRAM-MD5 answer to a base64 challenge: base64 of "user digest".
std::string CramMd5Response(const std::string& user, const std::string& password,
                            const std::string& challengeBase64);

} // namespace smtp
