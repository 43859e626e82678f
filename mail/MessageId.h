#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Receiving servers refuse or down-rank a mail without a Message-ID, so
// every mail gets one: "<time>.<random>@<domain>" (the header writer adds
// the angle brackets).

// The longest domain name there can be (RFC 1035); a longer one is no domain.
constexpr size_t kMaxDomainBytes = 253;
// The domain when neither the sender's address nor the host name gives one
// that can stand in the header; reserved, so it can never be somebody's.
extern const char kMessageIdFallbackDomain[];

// The sender's domain, else the host name, else the fallback: the first
// that is a plain domain name (letters, digits, '-', '_', dot-separated
// labels), so nothing in it can break the header.
std::string MessageIdDomain(const std::string& senderAddress, const std::string& hostName);
// The time as UTC digits, the random part as 16 upper-case hex digits.
std::string MessageId(std::time_t when, uint64_t random, const std::string& domain);
// A fresh one for this sender: now, 64 random bits, this host as the fallback.
std::string NewMessageId(const std::string& senderAddress);
