#include "net/NameLookup.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/SocketError.h"
#include "net/WaitCancel.h"

namespace {

std::atomic<TLookupFunction> lookupFunction{nullptr};
std::atomic<int> abandoned{0};

// Shared by the caller and the lookup thread; whoever is last frees it.
struct LookupState {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool givenUp = false;
  int result = 0;
  int error = 0;
  addrinfo* head = nullptr;
};

void RunLookup(std::shared_ptr<LookupState> state, std::string host, std::string service,
               addrinfo hints, TLookupFunction function) {
  addrinfo* head = nullptr;
  const int rc = function(host.c_str(), service.c_str(), &hints, &head);
  const int err = errno;
  std::lock_guard<std::mutex> lock(state->mutex);
  if (state->givenUp) {
    if (head) freeaddrinfo(head);
    --abandoned;
    return;
  }
  state->result = rc;
  state->error = err;
  state->head = head;
  state->finished = true;
  state->done.notify_one();
}

} // namespace

void SetLookupFunction(TLookupFunction function) { lookupFunction = function; }

int AbandonedLookups() { return abandoned; }

int LookupAddresses(const std::string& host, const std::string& service, const addrinfo& hints,
                    int timeoutMs, TAddressList& found, const TWaitCancel* cancel) {
  found = TAddressList();
  if (timeoutMs <= 0) return kSockErrTimedOut;
  if (abandoned >= kMaxAbandonedLookups) return kSockErrTryAgain;
  TLookupFunction function = lookupFunction.load();
  if (!function) function = &::getaddrinfo;
  auto state = std::make_shared<LookupState>();
  try {
    std::thread(RunLookup, state, host, service, hints, function).detach();
  } catch (const std::system_error&) {
    return kSockErrNoBuffers;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool finished = false;
  bool cancelled = false;
  // The resolver cannot be woken, so a cancellable wait looks in slices.
  while (!finished && !cancelled && std::chrono::steady_clock::now() < deadline) {
    const auto until = cancel ? std::min(deadline, std::chrono::steady_clock::now() +
                                                       std::chrono::milliseconds(kLookupCancelCheckMs))
                              : deadline;
    finished = state->done.wait_until(lock, until, [&] { return state->finished; });
    cancelled = cancel && cancel->Cancelled();
  }
  if (!finished) {
    state->givenUp = true;
    ++abandoned;
    return cancelled ? kSockErrInterrupted : kSockErrTimedOut;
  }
  if (state->result != 0 || !state->head) {
    if (state->head) freeaddrinfo(state->head);
    return SocketErrorFromResolver(state->result ? state->result : EAI_NONAME, state->error);
  }
  found = TAddressList(state->head);
  return 0;
}
