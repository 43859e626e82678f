#include "monitor/StatusLog.h"

#include <algorithm>

#include "mail/MailOutbox.h"
#include "platform/Clock.h"
#include "settings/Vardocamdef.h"

const char kStatusSeparator[] = "　｜　";
const char kRequestCheckFailedWords[] = "受信メールの確認に失敗しました";

namespace {
constexpr uint32_t kMsPerSecond = 1000;
constexpr const char* kSeparator = kStatusSeparator;

std::string Format(std::time_t when, const char* pattern) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  const size_t n = std::strftime(text, sizeof text, pattern, &local);
  return std::string(text, n);
}

std::string TimeOfDay(std::time_t when) { return Format(when, "%H:%M:%S"); }

std::string DateAndTime(std::time_t when) { return Format(when, "%Y/%m/%d %H:%M:%S"); }

// A reason the mail or POP3 layer could not give is still said to be one.
std::string Reason(const std::string& failure) {
  return failure.empty() ? std::string("理由は分かりません") : failure;
}
} // namespace

StatusLog::StatusLog(WallClock wallClock) : wallClock_(std::move(wallClock)) {
  if (!wallClock_) wallClock_ = [] { return std::time(nullptr); };
}

void StatusLog::Add(const std::string& text) {
  const std::time_t now = wallClock_();
  queueLineLast_ = false;
  if (!history_.empty() && history_.back().text == text) {
    history_.back().last = now;
    ++history_.back().count;
    return;
  }
  if (history_.size() == kStatusHistoryLimit) {
    history_.pop_front();
    // The motion's line moves up with the others, or went with the oldest.
    if (motionLine_ && (*motionLine_)-- == 0) motionLine_.reset();
  }
  history_.push_back(StatusEntry{now, now, 1, text});
}

void StatusLog::Changed() {
  if (OnChange) OnChange();
}

std::string BoxText(const MotionRegion& box) {
  return "位置 " + std::to_string(box.x) + "," + std::to_string(box.y) + " " + std::to_string(box.width) + "×" +
         std::to_string(box.height);
}

std::string RegionsText(const MotionRegions& regions) {
  if (regions.empty()) return "";
  std::string text = BoxText(regions.front());
  if (regions.size() > 1) text += " ほか " + std::to_string(regions.size() - 1) + " か所";
  return text;
}

std::string MailDoneLine(const MonitorEvent& event) {
  switch (event.mail) {
  case MailKind::Summary:
    return event.sent ? "イベントのまとめメールを送信しました"
                      : "イベントのまとめメールを送信できませんでした：" + Reason(event.text);
  case MailKind::Health:
    return event.sent ? "「" + event.about + "」をメールで知らせました"
                      : "「" + event.about + "」のメールを送信できませんでした：" + Reason(event.text);
  case MailKind::Test:
    return event.sent ? "テスト警報: 警報メールを送信しました"
                      : "テスト警報: 警報メールを送信できませんでした：" + Reason(event.text);
  case MailKind::Alert:
  case MailKind::PersonAlert:
  case MailKind::Confirmation: break;
  }
  return "";
}

std::string HeldBackLine(const MonitorEvent& event) {
  if (event.sameEvent) return "警報メールを見送りました（同じイベントの警報メールは送信済み）";
  return "警報メールを見送りました（最短間隔まであと " + std::to_string(event.secondsLeft) + " 秒）";
}

bool ArmWorthSaying(const ArmState& state) {
  return state.by != ArmedBy::Nobody && !(state.by == ArmedBy::Button && state.untilEpochS == 0);
}

void StatusLog::On(const MonitorEvent& event) {
  using Kind = MonitorEvent::Kind;
  switch (event.kind) {
  case Kind::MonitoringStarted: Started(event.warmUpMs); break;
  case Kind::MonitoringStopped:
    state_ = State::Off;
    cameraLost_ = false;
    motion_ = MotionEpisode{};
    motionLine_.reset();
    Add("監視を終了しました");
    break;
  case Kind::MotionDetected: Motion(event.regions); break;
  case Kind::PersonDetected:
    lastPerson_ = wallClock_();
    Add("人物を検知しました（" + BoxText(event.box) + "）");
    break;
  case Kind::MotionWithoutPerson: Add("動きあり・人物なし"); break;
  case Kind::AlarmStarted:
    alarm_ = true;
    Add("警報を開始しました");
    break;
  case Kind::AlarmEnded:
    alarm_ = false;
    // Motion after this belongs to the next alarm.
    motionLine_.reset();
    Add("警報を終了しました");
    break;
  case Kind::AlertMailDone: AlertMail(event.sent, event.text); break;
  case Kind::AlertMailHeldBack: {
    mailTried_ = true;
    mailTime_ = wallClock_();
    const std::string line = HeldBackLine(event);
    mailResult_ = line.substr(std::string("警報メールを").size());
    Add(line);
    break;
  }
  case Kind::MailDone: {
    const std::string line = MailDoneLine(event);
    if (line.empty()) return;
    // A failure stays in sight; so does what a health mail or a test told.
    if (!event.sent || event.mail != MailKind::Summary) notice_ = line;
    Add(line);
    break;
  }
  case Kind::TestAlarmStarted: Add("テスト警報を開始しました（実際の警報ではありません）"); break;
  case Kind::TestAlarmStep:
    notice_ = event.text;
    Add(event.text);
    break;
  case Kind::RequestCheckDone: RequestCheck(event); break;
  case Kind::CameraLost:
    cameraLost_ = true;
    Add("カメラの映像が途絶えました");
    break;
  case Kind::CameraBack:
    cameraLost_ = false;
    Add("カメラの映像が戻りました");
    break;
  case Kind::Notice:
    notice_ = event.text;
    Add(event.text);
    break;
  case Kind::CameraFailed:
    notice_ = CameraFailedLine(event);
    Add(notice_);
    break;
  // The window shows it in its box; the line keeps what monitoring does.
  case Kind::TickFailed: break;
  case Kind::BrokerChanged:
    brokerHeard_ = true;
    brokerConnected_ = event.connected;
    Add(event.connected ? "MQTTブローカーに接続しました（" + event.text + "）" : event.text);
    break;
  case Kind::MailQueueChanged:
    if (event.waiting == mailsWaiting_) return;
    mailsWaiting_ = event.waiting;
    // A mail said to be kept has now gone out with the rest.
    if (event.waiting == 0 && notice_.find(kResendLaterWords) != std::string::npos) notice_.clear();
    {
      const std::string text = event.waiting > 0 ? "未送信メール " + std::to_string(event.waiting) + " 通"
                                                 : "未送信メールはすべて送信しました";
      if (queueLineLast_ && !history_.empty()) {
        history_.back().text = text;
        history_.back().last = wallClock_();
      } else {
        Add(text);
      }
      queueLineLast_ = true;
    }
    break;
  case Kind::ArmChanged:
    arm_ = event.arm;
    if (ArmWorthSaying(event.arm)) Add("監視の切替: " + ArmStateText(event.arm, wallClock_()));
    break;
  case Kind::ArchiveFloorChanged:
    archiveBelowFloor_ = event.belowFloor;
    Add(event.text);
    break;
  case Kind::EventArchived: return;
  }
  Changed();
}

void StatusLog::Started(unsigned warmUpMs) {
  state_ = State::Running;
  startTick_ = GetTickCount();
  warmUpMs_ = warmUpMs;
  cameraLost_ = false;
  notice_.clear();
  // The last run's detection, person and alert mail are not this run's.
  lastDetection_ = 0;
  lastPerson_ = 0;
  mailTried_ = false;
  motion_ = MotionEpisode{};
  motionLine_.reset();
  if (warmUpMs == 0)
    Add("監視を開始しました");
  else
    Add("監視を開始しました（検出は " + std::to_string((warmUpMs + kMsPerSecond - 1) / kMsPerSecond) +
        " 秒後から）");
}

void StatusLog::Motion(const MotionRegions& regions) {
  lastDetection_ = wallClock_();
  const bool starts = motion_.Detected(GetTickCount());
  if (motionLine_ && (alarm_ || !starts)) {
    StatusEntry& line = history_[*motionLine_];
    line.last = lastDetection_;
    ++line.count;
  } else {
    // The line keeps where the motion began; its count says how long it went on.
    const std::string where = RegionsText(regions);
    Add(where.empty() ? "動体を検出しました" : "動体を検出しました（" + where + "）");
    motionLine_ = history_.size() - 1;
  }
}

void StatusLog::AlertMail(bool sent, const std::string& failure) {
  // With mails switched off the mail layer reports success for a mail it
  // never sent; the status must not claim one went out.
  mailTried_ = true;
  mailTime_ = wallClock_();
  if (sent && !AppSettings.USEMAIL) {
    mailResult_ = "送らない設定です";
    Add("警報メールは送らない設定です");
  } else if (sent) {
    mailResult_ = "送信しました";
    Add("警報メールを送信しました");
  } else {
    mailResult_ = "送信できませんでした：" + Reason(failure);
    Add("警報メールを送信できませんでした：" + Reason(failure));
  }
}

std::string RequestCheckText(int requests, int commands) {
  const std::string answered = "調査要求メール " + std::to_string(requests) + " 件に状況報告を送り";
  const std::string handled = "操作メール " + std::to_string(commands) + " 件を処理しました";
  if (requests > 0 && commands > 0) return answered + "、" + handled;
  if (requests > 0) return answered + "ました";
  if (commands > 0) return handled;
  return "調査要求メールはありませんでした";
}

void StatusLog::RequestCheck(const MonitorEvent& event) {
  checkTried_ = true;
  checkTime_ = wallClock_();
  if (!event.ok) {
    checkResult_ = "失敗：" + Reason(event.text);
    Add(kRequestCheckFailedWords + std::string("：") + Reason(event.text));
    return;
  }
  std::string found;
  if (event.requests > 0) found = "要求 " + std::to_string(event.requests) + " 件に応答";
  if (event.commands > 0) found += (found.empty() ? "" : "、") + std::string("操作 ") + std::to_string(event.commands) + " 件";
  checkResult_ = found.empty() ? "要求なし" : found;
  Add(RequestCheckText(event.requests, event.commands));
}

std::string StatusLog::StatusText() const {
  std::string text;
  if (state_ == State::Off) {
    text = "監視停止中";
  } else if (cameraLost_) {
    text = "監視中（カメラの映像が届いていません）";
  } else {
    // The cycle counts detections once the warm-up has strictly passed.
    const uint32_t elapsed = GetTickCount() - startTick_;
    if (elapsed > warmUpMs_) {
      text = alarm_ ? "監視中（警報中）" : "監視中";
    } else {
      const uint32_t left = std::max<uint32_t>(1, (warmUpMs_ - elapsed + kMsPerSecond - 1) / kMsPerSecond);
      text = "監視準備中（検出開始まであと " + std::to_string(left) + " 秒）";
    }
  }
  // Who switched it, the buttons too, and until when; nothing when it was
  // nobody in particular (the start of the program).
  const std::string reason = ArmReasonText(arm_, wallClock_());
  if (!reason.empty()) text += kSeparator + reason;
  if (lastDetection_ != 0) text += kSeparator + std::string("最終検出 ") + TimeOfDay(lastDetection_);
  if (lastPerson_ != 0) text += kSeparator + std::string("人物を検知 ") + TimeOfDay(lastPerson_);
  if (mailTried_) text += kSeparator + std::string("警報メール ") + TimeOfDay(mailTime_) + " " + mailResult_;
  if (checkTried_) text += kSeparator + std::string("受信確認 ") + TimeOfDay(checkTime_) + " " + checkResult_;
  if (mailsWaiting_ > 0) text += kSeparator + std::string("未送信メール ") + std::to_string(mailsWaiting_) + " 通";
  if (!notice_.empty()) text += kSeparator + notice_;
  // Said until there is room again, across starts.
  if (archiveBelowFloor_) text += kSeparator + std::string("イベント記録停止中（保存先の空き不足）");
  if (brokerHeard_ && !AppSettings.MQTT_HOSTNAME.empty())
    text += kSeparator + std::string(brokerConnected_ ? "MQTT 接続中" : "MQTT 未接続");
  // Two cameras' windows told apart by the name the user gave each.
  if (!AppSettings.CAMERA_NAME.empty()) text = AppSettings.CAMERA_NAME + kSeparator + text;
  return text;
}

uint32_t StatusLog::MsUntilNextChange() const {
  if (state_ == State::Off || cameraLost_) return 0;
  const uint32_t elapsed = GetTickCount() - startTick_;
  if (elapsed > warmUpMs_) return 0;
  // At worst one refresh more than needed, never one too few.
  return (warmUpMs_ - elapsed) % kMsPerSecond + 1;
}

std::string StatusLog::FormatEntry(const StatusEntry& entry) {
  std::string line = DateAndTime(entry.first) + "  " + entry.text;
  if (entry.count > 1)
    line += "（" + std::to_string(entry.count) + " 回、最後 " + TimeOfDay(entry.last) + "）";
  return line;
}
