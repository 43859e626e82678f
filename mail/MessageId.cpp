#include "mail/MessageId.h"

#include <cctype>
#include <cstdio>
#include <random>

#include <openssl/rand.h>

#include "mail/MimeCharset.h"
#include "net/BlockingSocket.h"

const char kMessageIdFallbackDomain[] = "vardocam.invalid";

namespace {
bool PlainDomain(const std::string& name) {
  if (name.empty() || name.size() > kMaxDomainBytes) return false;
  bool labelStart = true;
  for (const char c : name) {
    if (c == '.') {
      if (labelStart) return false;  // leading dot or two in a row
      labelStart = true;
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    labelStart = false;
  }
  return !labelStart;  // no trailing dot
}

uint64_t RandomBits() {
  uint64_t bits = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&bits), sizeof bits) == 1) return bits;
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}
} // namespace

std::string MessageIdDomain(const std::string& senderAddress, const std::string& hostName) {
  const std::string address = GetEmailAddr(senderAddress);
  const size_t at = address.rfind('@');
  if (at != std::string::npos && PlainDomain(address.substr(at + 1))) return address.substr(at + 1);
  if (PlainDomain(hostName)) return hostName;
  return kMessageIdFallbackDomain;
}

std::string MessageId(std::time_t when, uint64_t random, const std::string& domain) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[96];  // room for any year the time can give
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d.%016llX@", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<unsigned long long>(random));
  return text + domain;
}

std::string NewMessageId(const std::string& senderAddress) {
  return MessageId(std::time(nullptr), RandomBits(),
                   MessageIdDomain(senderAddress, TBlockingSocket::LocalName()));
}
