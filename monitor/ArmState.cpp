#include <ctime>

#include "monitor/ArmControl.h"
#include "monitor/ArmSchedule.h"

std::string ArmedByText(ArmedBy by) {
  switch (by) {
  case ArmedBy::Button: return "ボタン操作";
  case ArmedBy::Schedule: return "予定";
  case ArmedBy::MailCommand: return "メールでの指示";
  case ArmedBy::House: return "家からの指示";
  case ArmedBy::Nobody: break;
  }
  return "";
}

std::string ArmReasonText(const ArmState& state, int64_t nowEpochS) {
  if (state.by == ArmedBy::Nobody) return "";
  std::string text = ArmedByText(state.by) + "による";
  if (state.untilEpochS != 0) {
    const std::time_t now = nowEpochS != 0 ? static_cast<std::time_t>(nowEpochS) : std::time(nullptr);
    text += "、" + ArmMomentText(static_cast<std::time_t>(state.untilEpochS), now) + " まで";
  }
  return text;
}

std::string ArmStateText(const ArmState& state, int64_t nowEpochS) {
  const std::string reason = ArmReasonText(state, nowEpochS);
  const std::string head = state.armed ? "監視中" : "監視停止中";
  return reason.empty() ? head : head + "（" + reason + "）";
}
