#include "service/HeadlessService.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

#include <QAudioDevice>
#include <QCoreApplication>
#include <QMediaDevices>
#include <QTimer>
#include <QtGlobal>
#include <opencv2/core/utils/logger.hpp>
#include <unistd.h>

#include "capture/CameraAddress.h"
#include "mqtt/MqttPublisher.h"
#include "platform/Clock.h"
#include "platform/QtSoundPlayer.h"
#include "service/JournalLog.h"
#include "service/StopSignals.h"
#include "session/MonitorSession.h"
#include "settings/Vardocamdef.h"

namespace {
// No window, no user: nothing waits to be dispatched inside a tick. A stop
// request runs between ticks from the event loop.
class NoPump : public IMessagePump {
public:
  void ProcessMessages() override {}
};

// The alarm sound where the machine has an output for it. Without one the
// alarm goes on silently and says so once.
class HeadlessSound : public ISoundPlayer {
public:
  explicit HeadlessSound(JournalLog& log) : log_(log) {}
  void Play(const std::string& fileName) override {
    if (QMediaDevices::audioOutputs().isEmpty()) {
      if (!warned_)
        log_.Write(kJournalWarning, "音声出力装置がないため警報音は鳴らしません (監視は続けます)");
      warned_ = true;
      return;
    }
    player_.Play(fileName);
  }
  void Stop() override { player_.Stop(); }

private:
  JournalLog& log_;
  QtSoundPlayer player_;
  bool warned_ = false;
};

// The sound library's own complaint that its server cannot be reached: the
// journal says that once in its own words (HeadlessSound) when it matters.
bool FromTheSoundServer(const QMessageLogContext& context, const QString& message) {
  return (context.category && QByteArray(context.category).startsWith("qt.multimedia")) ||
         message.startsWith("PulseAudioService");
}

// Qt's own warnings go to the journal with a priority like every line.
void JournalQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg && FromTheSoundServer(context, message)) return;
  int priority = kJournalInfo;
  switch (type) {
  case QtDebugMsg: priority = kJournalDebug; break;
  case QtInfoMsg: priority = kJournalInfo; break;
  case QtWarningMsg: priority = kJournalWarning; break;
  case QtCriticalMsg:
  case QtFatalMsg: priority = kJournalError; break;
  }
  const std::string line = "<" + std::to_string(priority) + ">" + OneLine(message.toStdString()) + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
}

std::string Rate(uint64_t frames, uint32_t ms) {
  if (ms == 0) return "0.0";
  const uint64_t tenths = frames * 10000 / ms;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}
} // namespace

// The broker's goodbye has to fit into the stop, with the camera's close.
static_assert(kMqttFarewellMs < kStopDeadlineMs, "the farewell must end before the stop deadline");


int RunHeadless(std::ostream& out) {
  JournalLog log(out);
  qInstallMessageHandler(JournalQtMessage);
  // The idle picture is not needed without a window; OpenCV's note that it
  // is missing would only fill the journal.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  LoadSettings();
  const std::string profile = SettingsProfile().empty() ? "既定" : SettingsProfile();
  log.SetCameraName(AppSettings.CAMERA_NAME);
  log.Write(kJournalInfo, "画面なしで起動しました (カメラ: " + CameraName(AppSettings, SettingsProfile()) +
                              "、プロファイル: " + profile + ")");

  NoPump pump;
  HeadlessSound sound(log);
  MonitorSession session(MonitorHost{pump, sound, log}, SettingsProfile());
  MonitoringCycle& cycle = session.Cycle();

  // The signal's stop: the camera closed, the alarm silenced, no setting
  // written.
  StopSignals stopSignals(
      [&] {
        log.Write(kJournalInfo, "終了の要求を受けました");
        QCoreApplication::exit(0);
      },
      [] {
        static const char line[] = "<4>終了処理が時間内に終わらないため、そのまま終了します\n";
        (void)!write(STDERR_FILENO, line, sizeof(line) - 1);
        _exit(kForcedStopExitCode);
      });

  // A camera that is not there yet (switched off, not plugged in, the
  // network not up) is waited for by the session's one retry: said at the
  // first failure and again only when the wait grows, so a camera away for
  // days does not flood the journal. With a schedule the service watches in
  // its windows only.
  log.SetCameraAddress(DescribeCamera(AppSettings.CAMERANUMBER, AppSettings.CAMERA_URL));
  // The broker first: the house hears of a camera that is not there yet.
  session.ConnectBroker();
  session.Start(std::make_unique<NsOpenCVCamera>(), MonitorAtStart::KeepTrying, nullptr);
  if (!session.Arming().Schedule().Empty())
    log.Write(kJournalInfo, "予定に従って監視します (" + session.Arming().Schedule().PreviewText(std::time(nullptr)) + ")");
  const uint32_t started = GetTickCount();
  QCoreApplication::exec();

  const uint32_t elapsed = GetTickCount() - started;
  session.Close();
  const uint64_t frames = cycle.FramesTaken();
  std::string persons;
  if (cycle.PersonChecksRun() > 0)
    persons = "、人物の確認 " + std::to_string(cycle.PersonChecksRun()) + " 回 (処理時間 " +
              std::to_string(static_cast<uint64_t>(cycle.PersonCheckCpuMs())) + " ms)";
  log.Write(kJournalInfo, "終了しました (処理したフレーム " + std::to_string(frames) + " 枚、毎秒 " +
                              Rate(frames, elapsed) + " 枚" + persons + ")");
  stopSignals.Stopped();
  return 0;
}
