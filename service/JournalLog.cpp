#include "service/JournalLog.h"

#include "monitor/StatusLog.h"
#include "platform/Clock.h"
#include "settings/Vardocamdef.h"

namespace {
constexpr unsigned kMsPerSecond = 1000;
} // namespace

std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  for (unsigned char c : text) line += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
  return line;
}

void JournalLog::Write(int priority, const std::string& text) {
  // One write per line, flushed, so lines of a stopping process are not lost.
  const std::string mark = camera_.empty() ? "" : "[" + camera_ + "] ";
  out_ << ("<" + std::to_string(priority) + ">" + OneLine(mark + text) + "\n") << std::flush;
}

void JournalLog::MonitoringStarted(unsigned warmUpMs) {
  mailsOffSaid_ = false;
  // The same words and rounding as the window's status line.
  Write(kJournalInfo, "監視を開始しました (検出は " + std::to_string((warmUpMs + kMsPerSecond - 1) / kMsPerSecond) +
                          " 秒後から)");
}

void JournalLog::MonitoringStopped() { Write(kJournalInfo, "監視を終了しました"); }

void JournalLog::MotionDetected(const MotionRegions& regions) {
  if (!motion_.Detected(GetTickCount())) return;
  const std::string where = RegionsText(regions);
  Write(kJournalInfo, where.empty() ? "動体を検出しました" : "動体を検出しました (" + where + ")");
}

void JournalLog::PersonDetected(const MotionRegion& box) {
  Write(kJournalNotice, "人物を検知しました (" + BoxText(box) + ")");
}

void JournalLog::MotionWithoutPerson() { Write(kJournalInfo, "動きあり・人物なし"); }

void JournalLog::AlarmStarted() { Write(kJournalNotice, "警報を開始しました"); }

void JournalLog::AlarmEnded() { Write(kJournalInfo, "警報を終了しました"); }

void JournalLog::AlertMailDone(bool sent, const std::string& failure) {
  // A mail switched off reports itself sent; it never went out.
  if (sent && !AppSettings.USEMAIL) {
    if (!mailsOffSaid_) Write(kJournalInfo, "警報メールは送らない設定です");
    mailsOffSaid_ = true;
  } else if (sent)
    Write(kJournalInfo, "警報メールを送信しました");
  else
    Write(kJournalWarning, "警報メールを送信できませんでした: " + failure);
}

void JournalLog::AlertMailHeldBack(int secondsLeft) {
  Write(kJournalInfo, "警報メールを見送りました (最短間隔まであと " + std::to_string(secondsLeft) + " 秒)");
}

void JournalLog::RequestCheckDone(bool ok, int requests, const std::string& failure) {
  if (!ok)
    Write(kJournalWarning, "要求メールの確認に失敗しました: " + failure);
  else if (requests > 0)
    Write(kJournalInfo, "要求メール " + std::to_string(requests) + " 通に状況報告メールで応えました");
  else
    Write(kJournalInfo, "要求メールはありませんでした");
}

void JournalLog::CameraLost() {
  Write(kJournalWarning, "カメラから映像が届きません (再接続を続けます)");
}

void JournalLog::Notice(const std::string& text) { Write(kJournalWarning, text); }

void JournalLog::CameraBack() { Write(kJournalInfo, "カメラの映像が戻りました"); }

void JournalLog::BrokerChanged(bool connected, const std::string& detail) {
  if (connected)
    Write(kJournalInfo, "MQTTブローカーに接続しました (" + detail + ")");
  else
    Write(kJournalWarning, detail);
}

void JournalLog::MailQueueChanged(int waiting) {
  if (waiting == mailsWaiting_) return;
  mailsWaiting_ = waiting;
  if (waiting > 0)
    Write(kJournalWarning, "未送信メール " + std::to_string(waiting) + " 通");
  else
    Write(kJournalInfo, "未送信メールはすべて送信しました");
}

void JournalLog::ArmChanged(const ArmState& state) {
  if (ArmWorthSaying(state)) Write(kJournalInfo, "監視の切替: " + ArmStateText(state));
}

void JournalLog::ArchiveFloorChanged(bool belowFloor, const std::string& detail) {
  Write(belowFloor ? kJournalWarning : kJournalInfo, detail);
}
