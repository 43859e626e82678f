#pragma once

// While one lives, every name lookup hangs, as with a name server that never
// answers; at its end the hung lookups are let go and it waits (boundedly)
// until they have all finished.
class HangingResolver {
public:
  HangingResolver();
  ~HangingResolver();
  HangingResolver(const HangingResolver&) = delete;
  HangingResolver& operator=(const HangingResolver&) = delete;
};
