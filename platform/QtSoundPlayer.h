#pragma once
#include <memory>
#include <string>

#include "platform/Sound.h"

class QSoundEffect;

// The alarm sound through Qt Multimedia: a WAV file looped without end,
// asynchronously. An empty name stops, as a null name does.
class QtSoundPlayer : public ISoundPlayer {
public:
  QtSoundPlayer();
  ~QtSoundPlayer() override;

  void Play(const std::string& fileName) override;
  void Stop() override;

private:
  std::unique_ptr<QSoundEffect> effect_;
};
