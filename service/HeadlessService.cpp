#include "service/HeadlessService.h"

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

#include "monitor/MonitorMail.h"
#include "monitor/MonitoringCycle.h"
#include "mqtt/MqttLink.h"
#include "platform/Clock.h"
#include "platform/QtSoundPlayer.h"
#include "service/JournalLog.h"
#include "service/StopSignals.h"
#include "settings/Vardocamdef.h"

namespace {
const char kCameraName[] = "IMAGE";

class TimerAdapter : public IMonitorTimer {
public:
  explicit TimerAdapter(QTimer& timer) : timer_(timer) {}
  void SetEnabled(bool enabled) override {
    if (enabled)
      timer_.start();
    else
      timer_.stop();
  }
  bool Enabled() const override { return timer_.isActive(); }

private:
  QTimer& timer_;
};

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

// Counts the frames the cycle took, for the closing line: against the
// source's own rate it tells whether the machine kept up.
class CountingCamera : public NsOpenCVCamera {
public:
  CountingCamera() : NsOpenCVCamera(kCameraName) {}
  bool GrabFrameToFile(const std::string& path) override {
    const bool grabbed = NsOpenCVCamera::GrabFrameToFile(path);
    if (grabbed) ++frames;
    return grabbed;
  }
  uint64_t frames = 0;
};

// Qt's own warnings go to the journal with a priority like every line.
void JournalQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
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

void AfterTickError(MonitoringCycle& cycle, JournalLog& log, const std::string& what) {
  log.Write(kJournalError, "監視処理でエラーが発生しました: " + what);
  cycle.RequestCheckTick = GetTickCount();
}

int RunHeadless(std::ostream& out) {
  JournalLog log(out);
  qInstallMessageHandler(JournalQtMessage);
  // The idle picture is not needed without a window; OpenCV's note that it
  // is missing would only fill the journal.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
  LoadSettings();
  const std::string profile = SettingsProfile().empty() ? "既定" : SettingsProfile();
  log.Write(kJournalInfo, "画面なしで起動しました (プロファイル: " + profile + ")");

  QTimer captureTimer;
  captureTimer.setInterval(kCaptureIntervalMs);
  TimerAdapter timer(captureTimer);
  NoPump pump;
  HeadlessSound sound(log);
  MonitorMail mail;
  MonitoringCycle cycle(timer, pump, sound, mail);
  auto owned = std::make_unique<CountingCamera>();
  CountingCamera* camera = owned.get();
  cycle.SetCamera(std::move(owned));
  cycle.AddEventListener(&log);

  MqttLink mqtt(
      SettingsProfile(),
      [&cycle] {
        IMonitorCamera* c = cycle.Camera();
        nsOpenCV* object = c ? c->Detector() : nullptr;
        return object ? object->ColourImage().clone() : cv::Mat();
      },
      [&log](bool connected, const std::string& detail) {
        if (connected)
          log.Write(kJournalInfo, "MQTTブローカーに接続しました (" + detail + ")");
        else
          log.Write(kJournalWarning, detail);
      });
  cycle.AddEventListener(&mqtt);

  QObject::connect(&captureTimer, &QTimer::timeout, [&] {
    try {
      cycle.CaptureTimerTimer();
    } catch (const std::exception& e) {
      AfterTickError(cycle, log, e.what());
    }
  });

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
        _exit(0);
      });

  if (!cycle.StartMonitoring()) {
    log.Write(kJournalError, "カメラの接続に失敗しました。機器の接続や映像アドレスを確認してください。");
    stopSignals.Stopped();
    return 1;
  }
  const uint32_t started = GetTickCount();
  QCoreApplication::exec();

  const uint32_t elapsed = GetTickCount() - started;
  cycle.StopMonitoring();
  cycle.StopAlarmSound();
  cycle.RemoveEventListener(&mqtt);
  mqtt.Apply(typVardocam{});  // says goodbye to the broker
  const uint64_t frames = camera->frames;
  cycle.ReleaseCamera();
  log.Write(kJournalInfo, "終了しました (処理したフレーム " + std::to_string(frames) + " 枚、毎秒 " +
                              Rate(frames, elapsed) + " 枚)");
  stopSignals.Stopped();
  return 0;
}
