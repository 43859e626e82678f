#pragma once
#include <cstdint>

// The millisecond tick counter and the sleep that the monitoring cycle and
// the capture use. Everything reads time through the installed clock, so a
// test can set, advance and wrap it.
class IClock {
public:
  virtual ~IClock() = default;
  // Milliseconds since some fixed point, truncated to 32 bits: it wraps.
  virtual uint32_t TickCount() = 0;
  virtual void Sleep(uint32_t ms) = 0;
};

// CLOCK_MONOTONIC in milliseconds; Sleep really sleeps.
class SystemClock : public IClock {
public:
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
};

// The clock in force; the system clock unless a test installed another.
IClock& CurrentClock();
// Installs a clock (nullptr restores the system clock). Not owned.
void InstallClock(IClock* clock);

uint32_t GetTickCount();
void Sleep(uint32_t ms);
