#pragma once
#include <cstddef>
#include <string>

// Standard base64 (RFC 4648 alphabet, "=" padding), no line breaks.
std::string Base64Encode(const void* data, size_t size);
void Base64EncodeAppend(const void* data, size_t size, std::string& out);
