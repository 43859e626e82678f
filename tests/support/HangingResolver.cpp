#include "support/HangingResolver.h"

#include <netdb.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "net/NameLookup.h"

namespace {

constexpr int kHangCheckEveryMs = 5;      // a hung lookup looks for its release this often
constexpr int kReleaseChecks = 200;       // the let-go lookups get this many looks,
constexpr int kReleaseCheckEveryMs = 10;  // this far apart, to finish

std::atomic<bool> releaseLookups{false};

int HangingLookup(const char*, const char*, const addrinfo*, addrinfo** result) {
  while (!releaseLookups) std::this_thread::sleep_for(std::chrono::milliseconds(kHangCheckEveryMs));
  *result = nullptr;
  return EAI_NONAME;
}

} // namespace

HangingResolver::HangingResolver() {
  releaseLookups = false;
  SetLookupFunction(&HangingLookup);
}

HangingResolver::~HangingResolver() {
  releaseLookups = true;
  SetLookupFunction(nullptr);
  for (int i = 0; i < kReleaseChecks && AbandonedLookups() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(kReleaseCheckEveryMs));
}
