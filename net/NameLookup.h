#pragma once
#include <netdb.h>

#include <memory>
#include <string>

// The system resolver has no time-out of its own, so each lookup runs on a
// thread of its own that the caller stops waiting for at its deadline. An
// abandoned lookup finishes in the background and frees what it found.
constexpr int kMaxAbandonedLookups = 4; // lookups still running after their caller gave up
// How often a waiting caller looks whether its wait was cancelled.
constexpr int kLookupCancelCheckMs = 20;

class TWaitCancel;

// Addresses found for one host and port; freed with the object.
class TAddressList {
public:
  TAddressList() = default;
  explicit TAddressList(addrinfo* head) : head_(head, &freeaddrinfo) {}
  const addrinfo* First() const { return head_.get(); }
  bool Empty() const { return !head_; }

private:
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> head_{nullptr, &freeaddrinfo};
};

// The resolver call, replaceable so that tests can stand in a slow one.
using TLookupFunction = int (*)(const char* host, const char* service, const addrinfo* hints,
                                addrinfo** result);

// Resolves host and service within timeoutMs. Returns 0 and fills found, or
// a WinSock-style code: the resolver's own failure, 10060 when the time ran
// out, 10004 when cancel was cancelled, 11002 (try again) when too many
// earlier lookups still hang.
int LookupAddresses(const std::string& host, const std::string& service, const addrinfo& hints,
                    int timeoutMs, TAddressList& found, const TWaitCancel* cancel = nullptr);

// Installs the resolver call (nullptr: the system's getaddrinfo again).
void SetLookupFunction(TLookupFunction function);
// Lookups whose callers gave up and that are still running.
int AbandonedLookups();
