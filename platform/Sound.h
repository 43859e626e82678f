#pragma once
#include <string>

// The alarm sound: Play loops the named WAV file until Stop (or the next
// Play). Mirrors PlaySound(name, loop) and PlaySound(NULL).
class ISoundPlayer {
public:
  virtual ~ISoundPlayer() = default;
  virtual void Play(const std::string& fileName) = 0;
  virtual void Stop() = 0;
};
