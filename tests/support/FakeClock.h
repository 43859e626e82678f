#pragma once
#include <cstdint>

#include "platform/Clock.h"

// A clock that moves only when told to; Sleep advances it at once.
// Installed for its lifetime.
class FakeClock : public IClock {
public:
  explicit FakeClock(uint32_t start = 0) : now_(start) { InstallClock(this); }
  ~FakeClock() override { InstallClock(nullptr); }

  uint32_t TickCount() override { return now_; }
  void Sleep(uint32_t ms) override { now_ += ms; }
  void Advance(uint32_t ms) { now_ += ms; }
  void Set(uint32_t now) { now_ = now; }

private:
  uint32_t now_;
};
