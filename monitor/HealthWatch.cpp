#include "monitor/HealthWatch.h"

#include <opencv2/imgproc.hpp>

namespace {
constexpr uint32_t kMsPerMinute = 60 * 1000;
constexpr uint32_t kMsPerSecond = 1000;

bool Flat(const cv::Mat& thumb) {
  cv::Scalar mean, deviation;
  cv::meanStdDev(thumb, mean, deviation);
  return deviation[0] < kHealthFlatDeviation;
}

// The share of pixels that changed, brightness set aside.
double ChangedShare(const cv::Mat& a, const cv::Mat& b) {
  if (Flat(a) != Flat(b)) return 1.0;
  cv::Mat diff;
  cv::absdiff(a - cv::mean(a)[0], b - cv::mean(b)[0], diff);
  return static_cast<double>(cv::countNonZero(diff > kHealthPixelChange)) / static_cast<double>(diff.total());
}
} // namespace

std::string HealthMailSubject(const HealthMail& mail) {
  switch (mail.problem) {
    case HealthProblem::NoFrames:
      return mail.recovered ? "カメラの映像が回復しました" : "カメラの映像が途絶えています";
    case HealthProblem::ViewChanged:
      return mail.recovered ? "カメラの映像が元の見え方に回復しました"
                            : "カメラが覆われたか向きが変わった可能性があります";
    case HealthProblem::ArchiveFull:
      return mail.recovered ? "イベントの記録先の空きが回復しました" : "イベントの記録先の空きが不足しています";
  }
  return "";
}

std::vector<std::string> HealthMailBody(const HealthMail& mail) {
  std::vector<std::string> body;
  switch (mail.problem) {
    case HealthProblem::NoFrames:
      if (mail.recovered) return {"カメラからまた映像が届くようになりました。"};
      return {"カメラから " + std::to_string(kHealthNoFrameMinutes) + " 分以上映像が届いていません。",
              "カメラの電源・ケーブル・ネットワークを確認してください。"};
    case HealthProblem::ViewChanged:
      if (mail.recovered) return {"カメラの映像が以前の見え方に戻りました。"};
      return {"映像全体が以前と大きく変わったまま " + std::to_string(kHealthSteadyMs / kMsPerSecond) +
                  " 秒以上動きません。",
              "カメラの前をふさぐ物がないか、カメラの向きが変わっていないか確認してください。"};
    case HealthProblem::ArchiveFull:
      if (mail.recovered) body = {"イベントの記録先に空きができたため、記録を再開します。"};
      else body = {"イベントの記録先の空き容量が下限を下回ったため、新しいイベントを記録できません。",
                   "不要なファイルを削除するか、保存先フォルダを変更してください。"};
      if (!mail.detail.empty()) body.push_back(mail.detail);
      return body;
  }
  return body;
}

void HealthWatch::Start(uint32_t now) {
  pending_.clear();
  lastFrame_ = now;
  lost_ = false;
  sampled_ = false;
  reference_.release();
  candidate_.release();
  covered_ = false;
}

void HealthWatch::Tick(uint32_t now, bool newFrame) {
  if (newFrame) {
    lastFrame_ = now;
    if (lost_) pending_.push_back({HealthProblem::NoFrames, true, ""});
    lost_ = false;
  } else if (!lost_ && now - lastFrame_ >= kHealthNoFrameMinutes * kMsPerMinute) {
    lost_ = true;
    pending_.push_back({HealthProblem::NoFrames, false, ""});
  }
}

void HealthWatch::Frame(const cv::Mat& picture, uint32_t now) {
  if (picture.empty() || (sampled_ && now - lastSample_ < kHealthSampleMs)) return;
  sampled_ = true;
  lastSample_ = now;
  cv::Mat grey, small, thumb;
  if (picture.channels() == 3)
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
  else
    grey = picture;
  cv::resize(grey, small, cv::Size(kHealthThumbWidth, kHealthThumbHeight), 0, 0, cv::INTER_AREA);
  small.convertTo(thumb, CV_32F);
  Sample(thumb, now);
}

void HealthWatch::Sample(const cv::Mat& thumb, uint32_t now) {
  if (reference_.empty()) {
    reference_ = thumb.clone();
    return;
  }
  const bool changed = ChangedShare(thumb, reference_) >= kHealthCoveredShare;
  if (covered_) {
    // The picture from before is kept as it was: back to it is recovery.
    if (!changed) {
      covered_ = false;
      pending_.push_back({HealthProblem::ViewChanged, true, ""});
    }
    return;
  }
  if (!changed) {
    candidate_.release();
    cv::addWeighted(reference_, 1.0 - kHealthReferenceBlend, thumb, kHealthReferenceBlend, 0, reference_);
    return;
  }
  if (candidate_.empty() || ChangedShare(thumb, candidate_) > kHealthSteadyShare) {
    candidate_ = thumb.clone();
    candidateSince_ = now;
  } else if (now - candidateSince_ >= kHealthSteadyMs) {
    covered_ = true;
    candidate_.release();
    pending_.push_back({HealthProblem::ViewChanged, false, ""});
  }
}

void HealthWatch::On(const MonitorEvent& event) {
  switch (event.kind) {
  case MonitorEvent::Kind::ArchiveFloorChanged:
    if (event.belowFloor == archiveLow_) return;
    archiveLow_ = event.belowFloor;
    pending_.push_back({HealthProblem::ArchiveFull, !event.belowFloor, event.text});
    break;
  default: break;
  }
}

std::vector<HealthMail> HealthWatch::TakeMails(uint32_t now, int* heldBack) {
  while (!sent_.empty() && now - sent_.front() >= kHealthCapWindowMs) sent_.pop_front();
  std::vector<HealthMail> due;
  int held = 0;
  for (HealthMail& mail : pending_) {
    // The owner who was told of a problem is always told it ended, cap or not.
    const size_t problem = static_cast<size_t>(mail.problem);
    const bool owed = mail.recovered && told_[problem];
    if (!owed && sent_.size() >= static_cast<size_t>(kMaxHealthMailsPerHour)) {
      ++held;
      continue;
    }
    told_[problem] = !mail.recovered;
    sent_.push_back(now);
    due.push_back(std::move(mail));
  }
  pending_.clear();
  if (heldBack) *heldBack = held;
  return due;
}
