#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <time.h>

namespace {
SystemClock systemClock;
std::atomic<IClock*> installed{nullptr};
} // namespace

uint32_t SystemClock::TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                      static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SystemClock::Sleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

IClock& CurrentClock() {
  IClock* clock = installed.load();
  return clock ? *clock : systemClock;
}

void InstallClock(IClock* clock) { installed.store(clock); }

uint32_t GetTickCount() { return CurrentClock().TickCount(); }

void Sleep(uint32_t ms) { CurrentClock().Sleep(ms); }
