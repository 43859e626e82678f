#include "monitor/MonitoringCycle.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <memory>

#include "monitor/MotionEpisode.h"
#include "platform/Clock.h"
#include "settings/Vardocamdef.h"
#include "vision/MotionMask.h"
#include "vision/PictureContrast.h"

const char kFrameFile[] = "result.bmp";
const char kIdlePicture[] = "start.jpg";

namespace {
constexpr uint32_t kMsPerSecond = 1000;
constexpr uint32_t kMsPerMinute = 60000;
// The threshold for a binarisation by Otsu's method.
constexpr int32_t kOtsuThreshold = -1;

// Settings are signed; the gates compare unsigned 32-bit products, so a
// negative value becomes a very long time, as the tick counter sees it.
uint32_t Milliseconds(int32_t count, uint32_t unit) {
  return static_cast<uint32_t>(count) * unit;
}
} // namespace

MonitoringCycle::MonitoringCycle(IMonitorTimer& timer, IMessagePump& pump, ISoundPlayer& sound,
                                 IMonitorMail& mail)
    : timer_(timer), pump_(pump), sound_(sound), mail_(mail) {
  events_.Add(&health_);
}

void MonitoringCycle::SetCamera(std::unique_ptr<IMonitorCamera> camera) {
  camera_ = std::move(camera);
  releasePending_ = false;
  if (camera_ && frameWake_) camera_->SetFrameWake(frameWake_);
}

void MonitoringCycle::SetFrameWake(std::function<void()> wake) {
  frameWake_ = std::move(wake);
  if (camera_) camera_->SetFrameWake(frameWake_);
}

bool MonitoringCycle::FrameWakes() const { return !Closing() && frameWake_ && camera_->WakesOnFrames(); }

uint32_t MonitoringCycle::MsUntilNextDuty() const {
  const uint32_t now = GetTickCount();
  uint32_t wait = kMaxTickSleepMs;
  // Due just after `at`, as the gates compare with ">".
  const auto until = [&](uint32_t at) {
    const int32_t left = static_cast<int32_t>(at - now) + 1;
    wait = std::min<uint32_t>(wait, static_cast<uint32_t>(std::max<int32_t>(left, 1)));
  };
  if (alarmStartTick_ != 0) until(alarmStartTick_ + kAlarmSpacingMs);
  if (testSounding_) until(testSoundTick_ + kTestAlarmSoundMs);
  if (!cameraLost_) until(lastFrameTick_ + kCameraLostMs);
  if (settings_.IS_CHECK) until(requestCheckTick_ + Milliseconds(settings_.CHECK_INTERVAL, kMsPerMinute));
  if (personCheck_ && personConfirm_.InEpisode()) wait = std::min<uint32_t>(wait, kCaptureIntervalMs);
  return wait;
}

void MonitoringCycle::ReleaseCamera() {
  if (tickBusy_)
    releasePending_ = true;
  else
    camera_.reset();
}

bool MonitoringCycle::StartMonitoring() { return StartMonitoring(AppSettings); }

// The settings hold from this start to the stop: the option dialog stops
// monitoring before it edits them, and a tick never sees half an edit.
bool MonitoringCycle::StartMonitoring(const typVardocam& settings) {
  if (timer_.Enabled()) return true;
  if (Closing()) return false;
  settings_ = settings;
  camera_->SetKeepJpeg(settings_.EVENT_ARCHIVE);
  if (!camera_->OpenCamera(settings_.CAMERANUMBER, settings_.CAMERA_URL)) return false;
  timer_.SetEnabled(true);
  // Both after the camera runs, so the warm-up counts from a live picture.
  requestCheckTick_ = GetTickCount();
  monitorStartTick_ = GetTickCount();
  lastFrameTick_ = monitorStartTick_;
  cameraLost_ = false;
  health_.Start(monitorStartTick_);
  motionFrames_ = 0;
  mailCooling_ = false;
  heldBackSaid_ = false;
  maskPath_.clear();
  mask_.release();
  events_.On(MonitorEvent::MonitoringStarted(Milliseconds(settings_.START_MOVE_OBJECT, kMsPerSecond)));
  StartPersonCheck();
  StartArchive();
  return true;
}

// The recorder applies the limits and looks at the free space on its own
// thread as it starts: nothing here waits for the disk.
void MonitoringCycle::StartArchive() {
  archive_.reset();
  mailedEvent_ = 0;
  eventHoldSaid_ = 0;
  // A test's folder made while off is told before the archive takes over.
  if (testArchive_) {
    testArchive_->Finish();
    for (const ArchiveReport& report : testArchive_->TakeReports())
      if (report.kind == ArchiveReport::Kind::TestDone) TellTestEvent(report);
    testArchive_.reset();
  }
  if (!settings_.EVENT_ARCHIVE) {
    // Switched off while below the floor: nothing is held back any more.
    if (archiveBelowFloor_) {
      archiveBelowFloor_ = false;
      events_.On(MonitorEvent::ArchiveFloorChanged(false, "イベントを記録しない設定になりました"));
    }
    return;
  }
  std::optional<EventRecorderOptions> options = ArchiveOptions();
  if (!options) return;
  archive_ = std::make_unique<EventRecorder>(std::move(*options));
  // The clip hears the reader itself: a tick held up by a mail or a check
  // sees only the latest frame, and the frames in between would be lost.
  archiveFed_ = camera_ && camera_->SetJpegTap(archive_->Tap());
}

std::optional<EventRecorderOptions> MonitoringCycle::ArchiveOptions() {
  const std::string root = EventArchiveRoot(settings_.EVENT_DIR, SettingsProfile());
  if (root.empty() || root[0] != '/') {
    // A relative folder would land in the working folder.
    events_.On(MonitorEvent::Notice("イベントの保存先フォルダ「" + root +
                   "」は / から始まるフォルダで指定してください。イベントは記録しません。"));
    return std::nullopt;
  }
  constexpr int64_t kMsPerDay = 24 * 60 * 60 * 1000;
  EventRecorderOptions options;
  options.root = root;
  options.preMs = int64_t{std::max<int32_t>(settings_.EVENT_PRE_SECONDS, 0)} * kMsPerSecond;
  options.postMs = int64_t{std::max<int32_t>(settings_.EVENT_POST_SECONDS, 0)} * kMsPerSecond;
  options.limits.maxBytes = int64_t{std::max<int32_t>(settings_.EVENT_MAX_MB, 0)} << 20;
  options.limits.maxAgeMs = int64_t{std::max<int32_t>(settings_.EVENT_MAX_DAYS, 0)} * kMsPerDay;
  return options;
}

// The frame just compared: its JPEG by reference, how much of it changed,
// and the detector's picture in case it becomes the event's best.
void MonitoringCycle::ArchiveFrame(IMonitorCamera& camera) {
  ArchiveFrameInput frame;
  if (!camera.LatestJpeg(frame.jpeg, frame.timeMs)) frame.jpeg.release();
  frame.fed = archiveFed_;
  if (nsOpenCV* detector = camera.Detector()) {
    frame.changePermille = detector->LastChangedPermille();
    frame.colour = &detector->ColourImage();
  }
  archive_->Frame(frame);
}

// What the recorder's writer finished or noticed, said on the cycle's thread.
void MonitoringCycle::ServeArchive(uint32_t now) {
  archive_->Tick(now);
  for (ArchiveReport& report : archive_->TakeReports()) {
    switch (report.kind) {
    case ArchiveReport::Kind::Archived:
      events_.On(MonitorEvent::EventArchived(report.event));
      if (settings_.EVENT_SUMMARY_MAIL && settings_.USEMAIL) {
        auto mail = std::make_shared<MailResult>();
        RunMail([this, mail, context = NewMailContext(cv::Mat()), event = report.event] {
          *mail = mail_.SendEventSummaryMail(context, event);
        }, [this, mail](bool threw) {
          if (!threw) events_.On(MonitorEvent::MailDone(MailKind::Summary, mail->sent, mail->failure));
        });
      }
      break;
    case ArchiveReport::Kind::TestDone: TellTestEvent(report); break;
    case ArchiveReport::Kind::FloorChanged:
      if (report.belowFloor != archiveBelowFloor_) {
        archiveBelowFloor_ = report.belowFloor;
        events_.On(MonitorEvent::ArchiveFloorChanged(report.belowFloor, report.text));
      }
      break;
    case ArchiveReport::Kind::Notice: events_.On(MonitorEvent::Notice(report.text)); break;
    }
  }
}

// An event still open is ended (without its post-seconds) and said.
void MonitoringCycle::StopArchive() {
  if (!archive_) return;
  if (camera_ && archiveFed_) camera_->SetJpegTap(JpegTap());
  archiveFed_ = false;
  archive_->Finish();
  ServeArchive(GetTickCount());
  archive_.reset();
}

// A detector that cannot be made is said once; monitoring goes on without
// the confirmation rather than not at all.
void MonitoringCycle::StartPersonCheck() {
  personConfirm_.Start();
  if (!settings_.PERSON_CHECK) return;
  std::string why;
  std::unique_ptr<IPersonDetector> detector = personFactory_(&why);
  if (!detector) {
    events_.On(MonitorEvent::Notice(why.empty() ? "人物の確認ができないため、確認なしで監視を続けます。" : why));
    return;
  }
  personCheck_ = std::make_unique<PersonCheckWorker>(std::move(detector), personChecksPerSecond_);
}

uint64_t MonitoringCycle::PersonChecksRun() const {
  return personChecksBefore_ + (personCheck_ ? personCheck_->ChecksRun() : 0);
}

double MonitoringCycle::PersonCheckCpuMs() const {
  return personCpuBefore_ + (personCheck_ ? personCheck_->CheckCpuMs() : 0);
}

void MonitoringCycle::StopMonitoring() {
  StopArchive();
  if (timer_.Enabled()) events_.On(MonitorEvent::MonitoringStopped());
  timer_.SetEnabled(false);
  if (personCheck_) {
    personCheck_->Stop();
    personChecksBefore_ += personCheck_->ChecksRun();
    personCpuBefore_ += personCheck_->CheckCpuMs();
    personCheck_.reset();
  }
  if (!camera_) return;
  camera_->CloseCamera();
  camera_->LoadFrame(kIdlePicture);
  camera_->ShowFrame();
}

void MonitoringCycle::CaptureTimerTimer() {
  if (tickBusy_) return;
  tickBusy_ = true;
  struct EndOfTick {
    MonitoringCycle& cycle;
    ~EndOfTick() {
      cycle.tickBusy_ = false;
      if (cycle.releasePending_) {
        cycle.releasePending_ = false;
        cycle.camera_.reset();
      }
    }
  } endOfTick{*this};
  MonitorTick();
}

// A frame that cannot be grabbed or read back is no picture: the detector
// keeps its reference and the view keeps the last frame.
bool MonitoringCycle::ProcessNewFrame(IMonitorCamera& camera, uint32_t frameTime) {
  const FrameTake take = camera.GrabFrame(kFrameFile);
  if (take == FrameTake::None) return false;
  ++framesTaken_;
  TellFrameFile(take == FrameTake::Written);
  if (!camera.LoadFrame(kFrameFile)) return false;
  camera.ConvertToGrey();
  camera.Binarize(settings_.USE_OOTSU ? kOtsuThreshold : settings_.BINBORDER);
  MotionOptions options;
  options.referenceIntervalMs =
      static_cast<uint32_t>(std::max<int32_t>(settings_.REFERENCE_INTERVAL, 0));
  options.lightingCutoffPercent = std::max<int32_t>(settings_.LIGHTING_CUTOFF, 0);
  options.moveBorderPermille = settings_.MOVEBORDER_PERMILLE > 0 ? settings_.MOVEBORDER_PERMILLE
                               : personCheck_                   ? kPersonCheckPermille
                                                                : 0;
  options.mask = CurrentMask();
  const bool detected = camera.DetectMotion(settings_.MOVEBORDER, frameTime, options);
  if (archive_) ArchiveFrame(camera);
  if (detected) {
    nsOpenCV* detector = camera.Detector();
    lastRegions_ = detector ? detector->MotionRegions(kMaxReportedRegions) : MotionRegions{};
    // Nothing is reported before detection starts: the warm-up's changes
    // are the camera settling, and raise no alarm either.
    if (WarmedUp(frameTime)) events_.On(MonitorEvent::MotionDetected(lastRegions_));
  }
  camera.ShowFrame();
  return detected;
}

// A frame file that cannot be written (a full disk, a read-only folder)
// blinds only those who read it: monitoring goes on with the frame in
// memory. Said once when it starts and once when it ends.
void MonitoringCycle::TellFrameFile(bool written) {
  if (written == !frameFileFailing_) return;
  frameFileFailing_ = !written;
  events_.On(MonitorEvent::Notice(written ? std::string("映像ファイル「") + kFrameFile + "」に再び書き込めるようになりました。"
                         : std::string("映像ファイル「") + kFrameFile +
                               "」に書き込めません。ディスクの空きと書き込み権限を確認してください"
                               "(監視は続けています)。"));
}

void MonitoringCycle::MonitorTick() {
  if (Closing()) return;
  // A frame the previous tick already compared cannot differ from itself:
  // without a new one the result is known, and the reference and the
  // picture stay as they are.
  bool detected = false;
  const bool newFrame = camera_->HasNewFrame();
  WatchFrames(newFrame);
  // The frame's time is the counter when it was taken from the camera.
  const uint32_t frameTime = GetTickCount();
  if (newFrame) detected = ProcessNewFrame(*camera_, frameTime);
  detected = MotionLastedLongEnough(newFrame, detected);
  if (personCheck_) detected = ConfirmPerson(newFrame, detected, frameTime);

  pump_.ProcessMessages();
  if (Closing()) return;

  const uint32_t now = GetTickCount();
  const bool cooling = MailCoolingDown(now);
  if (WarmedUp(now) && AlarmSpacingPassed(now) && detected) {
    StartAlarmSound();
    if (EventHadMail()) {
      if (eventHoldSaid_ != archive_->EventsBegun()) {
        eventHoldSaid_ = archive_->EventsBegun();
        events_.On(MonitorEvent::AlertMailHeldForEvent());
      }
    } else if (!cooling) {
      if (AskAlertMail() && archive_) mailedEvent_ = archive_->EventsBegun();
    } else if (!heldBackSaid_) {
      heldBackSaid_ = true;
      events_.On(MonitorEvent::AlertMailHeldBack(MailCooldownSecondsLeft(now)));
    }
  } else if (alarmStartTick_ != 0 && GetTickCount() - alarmStartTick_ > kAlarmSpacingMs) {
    StopAlarmSound();
  }
  if (Closing()) return;
  if (archive_) ServeArchive(GetTickCount());
  ServeTestAlarm();

  DeliverPendingMails();
  if (Closing()) return;
  if (settings_.HEALTH_MAIL) WatchHealth(newFrame);
  PollRequestsWhenDue();
}

void MonitoringCycle::PollRequestsWhenDue() {
  if (Closing()) return;
  if (!Monitoring()) settings_ = AppSettings;
  if (GetTickCount() - requestCheckTick_ >
      Milliseconds(settings_.CHECK_INTERVAL, kMsPerMinute)) {
    if (settings_.IS_CHECK) CheckRequests();
    requestCheckTick_ = GetTickCount();
  }
}

void MonitoringCycle::WatchFrames(bool newFrame) {
  const uint32_t now = GetTickCount();
  if (newFrame) {
    lastFrameTick_ = now;
    if (cameraLost_) {
      cameraLost_ = false;
      events_.On(MonitorEvent::CameraBack());
    }
  } else if (!cameraLost_ && now - lastFrameTick_ > kCameraLostMs) {
    cameraLost_ = true;
    events_.On(MonitorEvent::CameraLost());
  }
}

// Each mail is said, sent or not; those over the hourly cap are said once
// for the lot.
void MonitoringCycle::WatchHealth(bool newFrame) {
  const uint32_t now = GetTickCount();
  health_.Tick(now, newFrame);
  nsOpenCV* detector = camera_->Detector();
  if (newFrame && detector) health_.Frame(detector->ColourImage(), now);
  int heldBack = 0;
  for (const HealthMail& mail : health_.TakeMails(now, &heldBack)) {
    const std::string subject = HealthMailSubject(mail);
    auto result = std::make_shared<MailResult>();
    RunMail([this, result, subject, body = HealthMailBody(mail), context = NewMailContext(CurrentPicture())] {
      *result = mail_.SendHealthMail(context, subject, body);
    }, [this, result, subject](bool threw) {
      if (!threw) events_.On(MonitorEvent::MailDone(MailKind::Health, result->sent, result->failure, subject));
    });
  }
  if (heldBack > 0)
    events_.On(MonitorEvent::Notice("カメラの異常を知らせるメールは1時間に " + std::to_string(kMaxHealthMailsPerHour) +
                   " 通までのため、" + std::to_string(heldBack) + " 通を送りませんでした。"));
}

// With a number of frames set, an alarm waits for that many new frames in a
// row with motion. A tick without a new frame neither counts nor resets.
bool MonitoringCycle::MotionLastedLongEnough(bool newFrame, bool detected) {
  if (newFrame) {
    if (!detected)
      motionFrames_ = 0;
    else if (motionFrames_ < std::numeric_limits<int32_t>::max())
      ++motionFrames_;
  }
  return detected && motionFrames_ >= settings_.MOTION_FRAMES;
}

// True while the least spacing after the last alert mail lasts. The stamp
// is dropped as soon as the spacing has passed, so that a counter wrap
// 49 days later cannot make an old mail look recent.
bool MonitoringCycle::MailCoolingDown(uint32_t now) {
  const int32_t seconds = std::min(settings_.MAIL_COOLDOWN, kMaxMailCooldownS);
  if (!mailCooling_) return false;
  if (seconds <= 0 || now - lastMailTick_ > Milliseconds(seconds, kMsPerSecond))
    mailCooling_ = false;
  return mailCooling_;
}

bool MonitoringCycle::WarmedUp(uint32_t now) const {
  return now - monitorStartTick_ > Milliseconds(settings_.START_MOVE_OBJECT, kMsPerSecond);
}

// Motion counts only as PersonConfirm decides; this side hands frames to
// the worker, passes its verdicts back and says what was decided.
bool MonitoringCycle::ConfirmPerson(bool newFrame, bool detected, uint32_t now) {
  nsOpenCV* detector = camera_->Detector();
  const PersonStep step = personConfirm_.Motion(now, newFrame, detected, WarmedUp(now));
  if (step.clearChecks) personCheck_->Clear();
  if (step.judgeLight && detector) personConfirm_.Light(PictureLightProblem(detector->ColourImage()));
  // A frame without a picture goes too: the worker answers Unknown, where
  // holding it back would let the episode pass for one without a person.
  if (step.submit) personCheck_->Submit({detector ? detector->ColourImage().clone() : cv::Mat(), lastRegions_, now});
  while (std::optional<PersonVerdict> verdict = personCheck_->TakeVerdict()) {
    const bool found = verdict->answer == PersonAnswer::Found;
    personConfirm_.Verdict(std::move(*verdict), now);
    if (found) break;  // one find a tick: a second one confirms on the next
  }
  // What the motion stage would have said without the check's finer
  // threshold: that is what counts while the check cannot answer.
  const bool classic = detected && (settings_.MOVEBORDER_PERMILLE > 0 ||
                                    (detector && detector->LastChangedPercentage() > settings_.MOVEBORDER));
  const bool confirmed = personConfirm_.Confirmed(now, detected, classic);
  for (const PersonEvent& event : personConfirm_.TakeEvents()) {
    switch (event.kind) {
    case PersonEvent::Kind::PersonDetected:
      events_.On(MonitorEvent::PersonDetected({event.box.x, event.box.y, event.box.width, event.box.height, 0}));
      if (archive_ && alarmStartTick_ != 0 && person_) archive_->PersonConfirmed(person_->frame);
      break;
    case PersonEvent::Kind::MotionWithoutPerson: events_.On(MonitorEvent::MotionWithoutPerson()); break;
    case PersonEvent::Kind::CheckUnknown: events_.On(MonitorEvent::Notice(PersonUnknownNotice(event.why))); break;
    case PersonEvent::Kind::PoorLight: events_.On(MonitorEvent::Notice(PersonLightNotice(event.why))); break;
    }
  }
  return confirmed;
}

// Whole seconds, rounded up, until MailCoolingDown lets a mail go; at least 1.
int MonitoringCycle::MailCooldownSecondsLeft(uint32_t now) const {
  const uint32_t spacing = Milliseconds(std::min(settings_.MAIL_COOLDOWN, kMaxMailCooldownS), kMsPerSecond);
  const uint32_t elapsed = now - lastMailTick_;
  const uint32_t left = elapsed < spacing ? spacing - elapsed : 0;
  return static_cast<int>(std::max<uint32_t>(1, (left + kMsPerSecond - 1) / kMsPerSecond));
}

// The mask is read when its setting changes (and at each start); a file
// that cannot be read is said once, and monitoring goes on watching all.
const cv::Mat& MonitoringCycle::CurrentMask() {
  const std::string& path = settings_.MASK_FILE;
  if (path == maskPath_) return mask_;
  maskPath_ = path;
  mask_.release();
  if (path.empty()) return mask_;
  std::string why;
  if (!ReadMotionMask(path, mask_, &why))
    events_.On(MonitorEvent::Notice("マスク画像「" + path + "」を読み込めません" + (why.empty() ? "" : "（" + why + "）") +
                                    "。マスクなしで監視を続けます。ファイルを確認してください。"));
  else if (cv::countNonZero(mask_) == 0)
    events_.On(MonitorEvent::Notice("マスク画像「" + path +
                   "」に白い部分(監視する範囲)がないため、動体は検出されません。"));
  return mask_;
}

// A failure after the login still reaches the window's exception box; the
// listeners hear of it first. One poll at a time: a due check while the
// last is still under way waits for the next interval.
void MonitoringCycle::CheckRequests() {
  if (requestCheckUnderWay_) return;
  requestCheckUnderWay_ = true;
  auto result = std::make_shared<RequestCheckResult>();
  auto failure = std::make_shared<std::string>();
  RunMail([this, result, failure, context = NewMailContext(CurrentPicture())] {
    try {
      *result = mail_.CheckRequestMail(context);
    } catch (const std::exception& e) {
      *failure = e.what();
      throw;
    }
  }, [this, result, failure](bool threw) {
    requestCheckUnderWay_ = false;
    if (threw) {
      events_.On(MonitorEvent::RequestCheckDone(false, 0, *failure));
      return;
    }
    for (const std::string& notice : result->notices) events_.On(MonitorEvent::Notice(notice));
    for (const MailResult& mail : result->confirmations)
      events_.On(MonitorEvent::MailDone(MailKind::Confirmation, mail.sent, mail.failure));
    events_.On(MonitorEvent::RequestCheckDone(result->ok, result->requests, result->failure, result->commands));
  });
}

void MonitoringCycle::RunMail(std::function<void()> work, std::function<void(bool threw)> done) {
  auto error = std::make_shared<std::exception_ptr>();
  runner_->Run([work = std::move(work), error] {
    try {
      work();
    } catch (...) {
      *error = std::current_exception();
    }
  }, [done = std::move(done), error] {
    done(*error != nullptr);
    if (*error) std::rethrow_exception(*error);
  });
}

MailContext MonitoringCycle::NewMailContext(const cv::Mat& picture) const {
  return MailContext{AppSettings, picture, runner_->Cancel()};
}

// A copy: the mail goes on while the detector reuses its picture.
cv::Mat MonitoringCycle::CurrentPicture() const {
  nsOpenCV* detector = camera_ ? camera_->Detector() : nullptr;
  return detector ? detector->ColourImage().clone() : cv::Mat();
}

// The alarm goes on while its mail is on its way. Only a mail that went out
// starts the spacing: after a failure the next alarm tries again, and with
// mails off nothing is held back.
bool MonitoringCycle::AskAlertMail() {
  if (alertMailsUnderWay_ >= kMaxAlertMailsUnderWay) {
    if (!alertMailSkippedSaid_)
      events_.On(MonitorEvent::Notice("前の警報メールがまだ送信中のため、この警報のメールは送りません。"
                     "SMTPサーバの応答を確認してください。"));
    alertMailSkippedSaid_ = true;
    return false;
  }
  alertMailSkippedSaid_ = false;
  ++alertMailsUnderWay_;
  auto mail = std::make_shared<MailResult>();
  const bool useMail = settings_.USEMAIL;
  std::optional<PersonFound> person = person_;
  MailContext context = NewMailContext(person ? cv::Mat() : CurrentPicture());
  RunMail([this, mail, person, context = std::move(context)] {
    *mail = person ? mail_.SendPersonAlertMail(context, *person) : mail_.SendAlertMail(context);
  }, [this, mail, useMail, kind = person ? MailKind::PersonAlert : MailKind::Alert](bool threw) {
    --alertMailsUnderWay_;
    if (threw) return;
    if (mail->sent && useMail) {
      mailCooling_ = true;
      lastMailTick_ = GetTickCount();
    }
    events_.On(MonitorEvent::AlertMailDone(mail->sent, mail->failure, kind));
  });
  return true;
}

bool MonitoringCycle::EventHadMail() const {
  return settings_.ALERT_MAIL_FIRST_ONLY && settings_.USEMAIL && archive_ && archive_->Recording() &&
         mailedEvent_ == archive_->EventsBegun();
}

// At most one turn is under way, and turns are spaced: the outbox waits far
// longer than that between its own tries.
void MonitoringCycle::DeliverPendingMails() {
  // Stopped, the settings are those of now: the dialog may have changed them.
  if (!Monitoring()) settings_ = AppSettings;
  const uint32_t now = GetTickCount();
  if (pendingTurnUnderWay_ || (pendingTurnGiven_ && now - lastPendingTurn_ < kPendingMailTurnMs)) return;
  pendingTurnUnderWay_ = true;
  pendingTurnGiven_ = true;
  lastPendingTurn_ = now;
  auto report = std::make_shared<PendingMailReport>();
  RunMail([this, report, context = NewMailContext(cv::Mat())] { *report = mail_.DeliverPending(context); },
          [this, report](bool threw) {
            pendingTurnUnderWay_ = false;
            if (threw) return;
            for (const std::string& notice : report->notices) events_.On(MonitorEvent::Notice(notice));
            if (report->changed) events_.On(MonitorEvent::MailQueueChanged(report->waiting));
          });
}

// With no alarm active the spacing is passed: measured from stamp 0 it
// would hold back every alarm for 5 s after each wrap of the counter.
bool MonitoringCycle::AlarmSpacingPassed(uint32_t now) const {
  return alarmStartTick_ == 0 || now - alarmStartTick_ > kAlarmSpacingMs;
}

void MonitoringCycle::StartAlarmSound() {
  if (alarmStartTick_ != 0) return;
  if (settings_.USESOUND) sound_.Play(settings_.SOUND);
  // 0 means "no alarm": a start at counter value 0 would leave the sound
  // looping with nothing to stop it, so it counts from 1 ms later.
  const uint32_t now = GetTickCount();
  alarmStartTick_ = now != 0 ? now : 1;
  heldBackSaid_ = false;
  if (archive_) {
    nsOpenCV* detector = camera_ ? camera_->Detector() : nullptr;
    archive_->AlarmStarted(alarmStartTick_, detector ? detector->ColourImage() : cv::Mat());
    if (person_) archive_->PersonConfirmed(person_->frame);
  }
  events_.On(MonitorEvent::AlarmStarted());
}

void MonitoringCycle::StopAlarmSound() {
  if (testSounding_) {
    testSounding_ = false;
    if (alarmStartTick_ == 0) sound_.Stop();
  }
  if (alarmStartTick_ == 0) return;
  sound_.Stop();
  alarmStartTick_ = 0;
  if (archive_) archive_->AlarmEnded(GetTickCount());
  events_.On(MonitorEvent::AlarmEnded());
}

namespace {
const char kTestStep[] = "テスト警報: ";
} // namespace

bool MonitoringCycle::TestAlarm(std::string* why) {
  const auto refuse = [why](const char* text) {
    if (why) *why = text;
    return false;
  };
  if (Closing()) return refuse("終了処理中のため、テスト警報は鳴らせません。");
  if (TestAlarmUnderWay()) return refuse("前のテスト警報がまだ終わっていません。少し待ってからもう一度試してください。");
  // Stopped, the settings are those of now: the dialog may have changed them.
  if (!Monitoring()) settings_ = AppSettings;
  events_.On(MonitorEvent::TestAlarmStarted());
  if (settings_.USESOUND) {
    sound_.Play(settings_.SOUND);
    testSounding_ = true;
    testSoundTick_ = GetTickCount();
    events_.On(MonitorEvent::TestAlarmStep(std::string(kTestStep) + "警報音を鳴らしました（" +
                                               std::to_string(kTestAlarmSoundMs / kMsPerSecond) + " 秒で止まります）",
                                           true));
  } else {
    events_.On(MonitorEvent::TestAlarmStep(std::string(kTestStep) + "警報音は鳴らさない設定です", true));
  }
  if (settings_.USEMAIL)
    AskTestMail();
  else
    events_.On(MonitorEvent::TestAlarmStep(std::string(kTestStep) + "警報メールは送らない設定です", true));
  TestEventFolder();
  return true;
}

// Not counted among the alert mails under way, and no cooldown follows it:
// a real alarm right after the test mails as it would have.
void MonitoringCycle::AskTestMail() {
  testMailUnderWay_ = true;
  auto mail = std::make_shared<MailResult>();
  RunMail([this, mail, context = NewMailContext(CurrentPicture())] {
    // A picture that cannot be written fails the test, not the tick.
    try {
      *mail = mail_.SendTestMail(context);
    } catch (const std::exception& e) {
      *mail = {false, e.what()};
    }
  }, [this, mail](bool threw) {
    testMailUnderWay_ = false;
    if (!threw) events_.On(MonitorEvent::MailDone(MailKind::Test, mail->sent, mail->failure));
  });
}

// While monitoring, the archive makes the folder between its events; while
// off, a recorder of the test's own does, and goes once it has.
void MonitoringCycle::TestEventFolder() {
  if (!settings_.EVENT_ARCHIVE) {
    events_.On(MonitorEvent::TestAlarmStep(std::string(kTestStep) + "イベントは記録しない設定です", true));
    return;
  }
  const cv::Mat picture = CurrentPicture();
  if (archive_) {
    if (!archive_->TestEvent(picture))
      events_.On(MonitorEvent::TestAlarmStep(
          std::string(kTestStep) + "記録中のイベントがあるため、テストのイベントは作りませんでした", true));
    return;
  }
  std::optional<EventRecorderOptions> options = ArchiveOptions();
  if (!options) {
    events_.On(MonitorEvent::TestAlarmStep(
        std::string(kTestStep) + "イベントを記録できませんでした（保存先フォルダを確認してください）", false));
    return;
  }
  testArchive_ = std::make_unique<EventRecorder>(std::move(*options));
  testArchive_->TestEvent(picture);
}

void MonitoringCycle::TellTestEvent(const ArchiveReport& report) {
  if (report.event.folder.empty()) {
    events_.On(MonitorEvent::TestAlarmStep(std::string(kTestStep) + "イベントを記録できませんでした（" +
                                               report.text + "）", false));
    return;
  }
  events_.On(MonitorEvent::EventArchived(report.event));
  events_.On(MonitorEvent::TestAlarmStep(
      std::string(kTestStep) + "イベントのフォルダを作りました: " + report.event.folder, true));
}

void MonitoringCycle::ServeTestAlarm() {
  if (testSounding_ && GetTickCount() - testSoundTick_ > kTestAlarmSoundMs) {
    testSounding_ = false;
    // A real alarm that began meanwhile keeps its sound.
    if (alarmStartTick_ == 0) sound_.Stop();
  }
  if (!testArchive_) return;
  bool done = false;
  for (const ArchiveReport& report : testArchive_->TakeReports()) {
    if (report.kind == ArchiveReport::Kind::TestDone) {
      TellTestEvent(report);
      done = true;
    } else if (report.kind == ArchiveReport::Kind::Notice) {
      events_.On(MonitorEvent::Notice(report.text));
    }
  }
  // Its writer has nothing left to do: the test was its last job.
  if (done) testArchive_.reset();
}
