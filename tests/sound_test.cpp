#include <cstdlib>
#include <filesystem>
#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "platform/QtSoundPlayer.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {
// Level above which a recording counts as sound: the alarm is recorded at
// about 11000; a silent null output gives 0.
constexpr double kAudibleRms = 500.0;

void RunEventsFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

TEST(QtSoundPlayer, LoopsTheFileUntilStoppedAndAnEmptyNameStops) {
  TempDir dir;
  NullSoundServer pulse(dir.Path());
  ASSERT_TRUE(pulse.Ok()) << ReadFileBytes(dir.File("pulseaudio.log"));
  setenv("PULSE_SERVER", pulse.Address().c_str(), 1);
  std::filesystem::copy_file(std::string(VARDOCAM_SOURCE_DIR) + "/assets/Alarm.wav",
                             dir.File("Alarm.wav"));
  const auto oldFolder = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());

  int argc = 1;
  char name[] = "sound_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  ChildProcess::Options options;
  options.env = {{"PULSE_SERVER", pulse.Address()}};
  ChildProcess recorder({"parec", "-d", "dummy.monitor", "--raw", "--format=s16le",
                         "--rate=22050", "--channels=1", dir.File("recorded.raw")},
                        options);
  RunEventsFor(500);
  {
    QtSoundPlayer player;
    player.Play("Alarm.wav");  // a bare name, as the settings hold it
    // The file lasts 3 s: after 4.5 s it must still sound, looped.
    RunEventsFor(4500);
    const std::string playing = ReadFileBytes(dir.File("recorded.raw"));
    const size_t lastSecond = 22050 * 2;
    ASSERT_GT(playing.size(), lastSecond);
    EXPECT_GT(RootMeanSquare(playing.substr(playing.size() - lastSecond)), kAudibleRms);

    player.Play("");
    RunEventsFor(1000);
    const size_t stoppedAt = ReadFileBytes(dir.File("recorded.raw")).size();
    RunEventsFor(1000);
    recorder.Stop();
    // An idle null output may deliver silence or nothing at all.
    const std::string after = ReadFileBytes(dir.File("recorded.raw")).substr(stoppedAt);
    EXPECT_LT(RootMeanSquare(after), kAudibleRms);
  }
  recorder.Stop();
  std::filesystem::current_path(oldFolder);
  unsetenv("PULSE_SERVER");
}
} // namespace
