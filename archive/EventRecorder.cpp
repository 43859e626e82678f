#include "archive/EventRecorder.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "archive/EventFolder.h"
#include "platform/AtomicFile.h"
#include "platform/OpenCvModule.h"

namespace {
// The marker, small, is on the disk before the folder counts as an event;
// the pictures need not wait for it.
const AtomicWrite kMarkerWrite{true, false, ""};
const AtomicWrite kPictureWrite{false, false, ""};

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "12 MB", or "340 KB" below a megabyte.
std::string SizeText(int64_t bytes) {
  if (bytes >= (int64_t{1} << 20)) return std::to_string(bytes >> 20) + " MB";
  return std::to_string(bytes >> 10) + " KB";
}
} // namespace

EventRecorder::EventRecorder(EventRecorderOptions options)
    : options_(std::move(options)), ring_(options_.preMs, options_.maxRingBytes) {
  inlet_->recorder = this;
  Job retention;
  retention.kind = Job::Kind::Retention;
  Enqueue(std::move(retention));
  worker_ = std::thread(&EventRecorder::Run, this);
}

EventRecorder::~EventRecorder() {
  {
    // Waits for a Feed under way; the camera's later ones do nothing.
    std::lock_guard<std::mutex> lock(inlet_->mutex);
    inlet_->recorder = nullptr;
  }
  Finish();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

int64_t EventRecorder::WallNow() const {
  if (options_.wallClockMs) return options_.wallClockMs();
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// ---- The cycle's thread ---------------------------------------------------

void EventRecorder::Keep(const ArchiveFrameInput& frame, cv::Mat& picture, bool& isJpeg) {
  if (!frame.jpeg.empty()) {
    picture = frame.jpeg;
    isJpeg = true;
  } else if (frame.colour && !frame.colour->empty()) {
    // The detector reuses its buffer for the next frame.
    picture = frame.colour->clone();
    isJpeg = false;
  }
}

JpegTap EventRecorder::Tap() {
  return [inlet = inlet_](const ClipPacket& packet) {
    std::lock_guard<std::mutex> lock(inlet->mutex);
    if (inlet->recorder) inlet->recorder->Feed(packet);
  };
}

void EventRecorder::Feed(const ClipPacket& packet) {
  if (packet.jpeg.empty() && !packet.packet) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!feeding_) {
    ring_.Push(packet);
    return;
  }
  int width = 0, height = 0;
  if (ClipFrameSize(packet, width, height)) {
    if (eventWidth_ == 0) {
      eventWidth_ = width;
      eventHeight_ = height;
    } else if (width != eventWidth_ || height != eventHeight_) {
      // A clip states one size: the pictures of the new one wait for the
      // event that takes over, from their first key frame on.
      if (!packet.Anchor()) return;
      feeding_ = false;
      resized_.store(true);
      ring_.Push(packet);
      return;
    }
  }
  Job job;
  job.kind = Job::Kind::Frame;
  job.frame = packet;
  EnqueueLocked(std::move(job));
}

size_t EventRecorder::RingFrames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ring_.Frames();
}

void EventRecorder::Frame(const ArchiveFrameInput& frame) {
  lastJpeg_ = frame.jpeg;
  lastPermille_ = frame.changePermille;
  if (!frame.fed) Feed(ClipPacket{frame.jpeg, frame.timeMs});
  SplitIfResized(frame.colour ? *frame.colour : cv::Mat());
  if (state_ == State::Idle) return;
  if (frame.changePermille > peakPermille_) {
    Keep(frame, peak_, peakIsJpeg_);
    peakPermille_ = frame.changePermille;
  }
}

void EventRecorder::AlarmStarted(uint32_t tick, const cv::Mat& colour) {
  (void)tick;
  SplitIfResized(colour);
  if (state_ != State::Idle && clipFailed_.load()) EndEvent();
  if (state_ == State::Post) state_ = State::Alarm;
  if (state_ != State::Idle) return;
  BeginEvent(colour, false);
}

void EventRecorder::BeginEvent(const cv::Mat& colour, bool split) {
  // Below the floor nothing is recorded; the writer says so and looks again.
  if (belowFloor_.load()) return;
  state_ = State::Alarm;
  ++eventsBegun_;
  personSent_ = false;
  Job job;
  job.kind = Job::Kind::Begin;
  job.wallMs = WallNow();
  // After a split the latest JPEG may still be of the size before it.
  if (!split && !lastJpeg_.empty()) {
    job.picture = lastJpeg_;
    job.pictureIsJpeg = true;
  } else if (!colour.empty()) {
    job.picture = colour.clone();
  }
  peakPermille_ = split ? -1 : lastPermille_;
  endWallMs_ = 0;
  // The ring and the frames fed after it reach the writer in order.
  std::lock_guard<std::mutex> lock(mutex_);
  eventWidth_ = ring_.Width();
  eventHeight_ = ring_.Height();
  job.frames = ring_.Take();
  feeding_ = true;
  resized_.store(false);
  if (split && !job.frames.empty() && !job.frames.front().packet) {
    job.picture = job.frames.front().jpeg;
    job.pictureIsJpeg = true;
  }
  peak_ = job.picture;
  peakIsJpeg_ = job.pictureIsJpeg;
  EnqueueLocked(std::move(job));
}

void EventRecorder::SplitIfResized(const cv::Mat& colour) {
  if (!resized_.exchange(false) || state_ == State::Idle) return;
  const State state = state_;
  const uint32_t postFrom = postFrom_;
  EndEvent();
  BeginEvent(colour, true);
  if (state_ == State::Idle || state != State::Post) return;
  // In its post-seconds still: it ends when the one before would have,
  // its end the time it closes.
  state_ = State::Post;
  postFrom_ = postFrom;
}

bool EventRecorder::TestEvent(const cv::Mat& colour) {
  if (state_ != State::Idle) return false;
  Job job;
  job.kind = Job::Kind::Test;
  job.wallMs = WallNow();
  if (!colour.empty()) job.picture = colour.clone();
  Enqueue(std::move(job));
  return true;
}

void EventRecorder::AlarmEnded(uint32_t tick) {
  if (state_ != State::Alarm) return;
  state_ = State::Post;
  postFrom_ = tick;
  endWallMs_ = WallNow();
}

void EventRecorder::PersonConfirmed(const cv::Mat& frame) {
  if (state_ == State::Idle || personSent_ || frame.empty()) return;
  personSent_ = true;
  Job job;
  job.kind = Job::Kind::Person;
  job.picture = frame;
  Enqueue(std::move(job));
}

void EventRecorder::Tick(uint32_t tick) {
  SplitIfResized(cv::Mat());
  if (state_ == State::Post && static_cast<int64_t>(tick - postFrom_) >= options_.postMs) EndEvent();
}

void EventRecorder::EndEvent() {
  if (state_ == State::Idle) return;
  Job job;
  job.kind = Job::Kind::End;
  job.wallMs = endWallMs_ != 0 ? endWallMs_ : WallNow();
  job.picture = peak_;
  job.pictureIsJpeg = peakIsJpeg_;
  state_ = State::Idle;
  peak_.release();
  peakPermille_ = -1;
  std::lock_guard<std::mutex> lock(mutex_);
  feeding_ = false;
  resized_.store(false);
  EnqueueLocked(std::move(job));
}

void EventRecorder::Finish() {
  EndEvent();
  std::unique_lock<std::mutex> lock(mutex_);
  paused_ = false;
  wake_.notify_all();
  idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void EventRecorder::PauseWriter(bool paused) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
  }
  wake_.notify_all();
}

std::vector<ArchiveReport> EventRecorder::TakeReports() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ArchiveReport> taken;
  taken.swap(reports_);
  return taken;
}

// Frames past the queue's bounds are dropped; the other jobs never are.
void EventRecorder::Enqueue(Job job) {
  std::lock_guard<std::mutex> lock(mutex_);
  EnqueueLocked(std::move(job));
}

void EventRecorder::EnqueueLocked(Job job) {
  if (job.kind == Job::Kind::Frame) {
    const size_t bytes = job.frame.Bytes();
    if (queuedFrames_ + 1 > options_.maxQueuedFrames || queuedBytes_ + bytes > options_.maxQueuedBytes) {
      ++dropped_;
      if (!droppedSaid_) {
        droppedSaid_ = true;
        ArchiveReport report;
        report.text = "イベントの動画の書き込みが追いつかないため、一部のフレームを省きました（保存先: " +
                      options_.root + "）";
        reports_.push_back(std::move(report));
      }
      return;
    }
    ++queuedFrames_;
    queuedBytes_ += bytes;
  }
  queue_.push_back(std::move(job));
  wake_.notify_one();
}

// ---- The writer -------------------------------------------------------------

void EventRecorder::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, std::chrono::milliseconds(options_.floorCheckMs),
                   [this] { return stop_ || (!paused_ && !queue_.empty()); });
    if (!paused_ && !queue_.empty()) {
      Job job = std::move(queue_.front());
      queue_.pop_front();
      if (job.kind == Job::Kind::Frame) {
        --queuedFrames_;
        queuedBytes_ -= job.frame.Bytes();
      }
      busy_ = true;
      lock.unlock();
      Handle(job);
      job = Job{};  // lets go of its frames outside the lock
      lock.lock();
      busy_ = false;
      if (queue_.empty()) idle_.notify_all();
      continue;
    }
    if (stop_) break;
    // Idle: the floor is looked at now and then, so that room coming back
    // is said without waiting for the next alarm.
    lock.unlock();
    if (SteadyMs() - lastFloorCheck_ >= options_.floorCheckMs) CheckFloor();
    lock.lock();
  }
  lock.unlock();
  // Whatever the cycle left open is closed whole.
  if (open_.active) {
    Job end;
    end.kind = Job::Kind::End;
    end.wallMs = WallNow();
    End(end);
  }
}

void EventRecorder::Handle(Job& job) {
  switch (job.kind) {
  case Job::Kind::Begin: Begin(job); break;
  case Job::Kind::Frame: WriteFrame(job.frame); break;
  case Job::Kind::Person:
    if (open_.active) {
      WritePicture(kEventPersonPicture, job.picture, false);
      open_.info.person = true;
      const std::string marker = EventMarkerText(open_.info, false);
      std::string error;
      if (!WriteFileAtomically(open_.info.folder + "/" + kEventMarkerFile, marker.data(), marker.size(),
                               kMarkerWrite, &error))
        Fail(error);
    }
    break;
  case Job::Kind::End: End(job); break;
  case Job::Kind::Retention: Retain(open_.active ? open_.info.folder : std::string(), open_.active); break;
  case Job::Kind::Test: MakeTestEvent(job); break;
  }
}

void EventRecorder::Report(ArchiveReport report) {
  std::lock_guard<std::mutex> lock(mutex_);
  reports_.push_back(std::move(report));
}

// Said once until an event is kept whole again: a folder that cannot be
// written fails every event alike.
void EventRecorder::Fail(const std::string& what) {
  if (failSaid_) return;
  failSaid_ = true;
  ArchiveReport report;
  report.text = "イベントを記録できません（" + what + "）";
  Report(std::move(report));
}

bool EventRecorder::CheckFloor() {
  lastFloorCheck_ = SteadyMs();
  int64_t freeBytes = 0, totalBytes = 0;
  // Not told: recorded, and a write that fails says why.
  if (!FileSystemSpace(options_.root, freeBytes, totalBytes)) return true;
  const int64_t floor = options_.minFreeBytes >= 0 ? options_.minFreeBytes : FreeSpaceFloor(totalBytes);
  const bool below = freeBytes < floor;
  if (!floorKnown_ || below != belowFloor_.load()) {
    floorKnown_ = true;
    belowFloor_.store(below);
    ArchiveReport report;
    report.kind = ArchiveReport::Kind::FloorChanged;
    report.belowFloor = below;
    report.text = below ? "保存先の空きが少ないため（残り " + SizeText(freeBytes) + "、下限 " +
                              SizeText(floor) + "）、イベントの記録を止めています: " + options_.root
                        : "保存先に空きがあります（残り " + SizeText(freeBytes) +
                              "）。イベントを記録します: " + options_.root;
    Report(std::move(report));
  }
  return !below;
}

void EventRecorder::Begin(Job& job) {
  if (open_.active) {
    Job end;
    end.kind = Job::Kind::End;
    end.wallMs = job.wallMs;
    End(end);
  }
  clipFailed_.store(false);
  if (!CheckFloor()) return;
  std::string folder, error;
  if (!CreateEventFolder(options_.root, job.wallMs, folder, &error)) {
    Fail(error);
    clipFailed_.store(true);
    return;
  }
  open_.active = true;
  open_.clipStopped = false;
  open_.clipBroken = false;
  open_.pictureBytes = 0;
  open_.largestPicture = 0;
  retainStuck_ = false;
  open_.info = EventInfo{};
  open_.info.folder = folder;
  open_.info.startMs = job.wallMs;
  const std::string marker = EventMarkerText(open_.info, false);
  if (!WriteFileAtomically(folder + "/" + kEventMarkerFile, marker, kMarkerWrite, &error)) {
    // Without its marker the folder is nobody's: take it back while it is empty.
    Fail(error);
    clipFailed_.store(true);
    std::error_code ignored;
    std::filesystem::remove(folder, ignored);
    open_.active = false;
    return;
  }
  WritePicture(kEventFirstPicture, job.picture, job.pictureIsJpeg);
  for (const ClipFrame& frame : job.frames) WriteFrame(frame);
}

void EventRecorder::WriteFrame(const ClipFrame& frame) {
  if (!open_.active || open_.clipStopped) return;
  if (!open_.clip.IsOpen() && !OpenClip(frame)) return;
  // Never a picture of another size than the clip states: players show it wrongly or not at all.
  int width = 0, height = 0;
  if (ClipFrameSize(frame, width, height) && (width != open_.clip.Width() || height != open_.clip.Height())) return;
  std::string error;
  if (!open_.clip.Write(frame, &error)) {
    ClipFailed(error);
    return;
  }
  open_.info.frames = open_.clip.Frames();
  // The floor is looked at while recording too; below it the clip ends here.
  if (SteadyMs() - lastFloorCheck_ >= options_.floorCheckMs && !CheckFloor()) {
    open_.clip.Close();
    open_.clipStopped = true;
  }
  open_.largestPicture = std::max<int64_t>(open_.largestPicture, static_cast<int64_t>(frame.Bytes()));
  const int64_t maxBytes = options_.limits.maxBytes;
  // The folder stays within its limit while the event grows: older events go first.
  if (maxBytes > 0 && !retainStuck_ && othersBytes_ > 0 && othersBytes_ + OpenEventBytes() > maxBytes) {
    Retain(open_.info.folder, true);
    retainStuck_ = othersBytes_ > 0 && othersBytes_ + OpenEventBytes() > maxBytes;
  }
  // One event alone never outgrows what the whole folder may hold, its
  // peak.jpg still to come included.
  if (maxBytes > 0 && open_.clip.IsOpen() &&
      OpenEventBytes() + open_.largestPicture + kEventOverheadBytes >= maxBytes) {
    open_.clip.Close();
    open_.clipStopped = true;
    if (!sizeSaid_) {
      sizeSaid_ = true;
      ArchiveReport report;
      report.text = "イベントの動画が保存容量の上限に達したため、続きは記録しません: " + open_.info.folder;
      Report(std::move(report));
    }
  }
}

bool EventRecorder::OpenClip(const ClipFrame& frame) {
  const std::string path = open_.info.folder + "/" + kEventClip;
  std::string error;
  bool opened = false;
  if (frame.packet) {
    // A stream's clip starts on a key frame; what comes before is left out.
    if (!frame.Anchor()) return false;
    opened = open_.clip.Open(path, frame.tracks, open_.info.startMs, &error);
    if (opened && !open_.clip.DroppedAudio().empty() && !audioSaid_) {
      audioSaid_ = true;
      ArchiveReport report;
      report.text = "カメラの音声（" + open_.clip.DroppedAudio() +
                    "）は動画に入れられないため、映像だけを記録します（AAC の音声なら記録できます）";
      Report(std::move(report));
    }
  } else {
    int width = 0, height = 0;
    if (!JpegSize(frame.jpeg.ptr<uint8_t>(), frame.Bytes(), width, height)) return false;  // not a JPEG: left out
    opened = open_.clip.Open(path, width, height, open_.info.startMs, &error);
  }
  if (!opened) ClipFailed(error);
  return opened;
}

void EventRecorder::ClipFailed(const std::string& what) {
  Fail(what);
  open_.clipStopped = true;
  open_.clipBroken = true;
  clipFailed_.store(true);
}

int64_t EventRecorder::OpenEventBytes() const { return open_.clip.Bytes() + open_.pictureBytes; }

void EventRecorder::WritePicture(const char* name, const cv::Mat& picture, bool isJpeg) {
  Counted(WritePictureIn(open_.info.folder, name, picture, isJpeg));
}

size_t EventRecorder::WritePictureIn(const std::string& folder, const char* name, const cv::Mat& picture,
                                   bool isJpeg) {
  if (picture.empty()) return 0;
  std::string error;
  const std::string path = folder + "/" + name;
  if (isJpeg) {
    const size_t bytes = picture.total() * picture.elemSize();
    if (!WriteFileAtomically(path, picture.ptr<uint8_t>(), bytes, kPictureWrite, &error)) Fail(error);
    return bytes;
  }
  // libjpeg-turbo, already loaded for the cameras: the OpenCV module's
  // libraries would cost a stream camera's process some 60 MB of memory.
  if (!encoder_) encoder_ = std::make_unique<JpegEncoder>(kEventPictureQuality);
  cv::Mat jpeg;
  if (encoder_->Encode(picture, jpeg)) {
    if (!WriteFileAtomically(path, jpeg.ptr<uint8_t>(), jpeg.total(), kPictureWrite, &error)) Fail(error);
    return jpeg.total();
  }
  std::vector<uint8_t> bytes;
  std::string why;
  if (!EncodeImage(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, kEventPictureQuality}, &why)) {
    Fail(why.empty() ? path + " を JPEG にできません" : why);
    return 0;
  }
  if (!WriteFileAtomically(path, bytes.data(), bytes.size(), kPictureWrite, &error)) Fail(error);
  return bytes.size();
}

void EventRecorder::Counted(size_t pictureBytes) {
  open_.pictureBytes += static_cast<int64_t>(pictureBytes);
  open_.largestPicture = std::max(open_.largestPicture, static_cast<int64_t>(pictureBytes));
}

void EventRecorder::End(Job& job) {
  if (!open_.active) return;
  WritePicture(kEventPeakPicture, job.picture, job.pictureIsJpeg);
  bool whole = !open_.clipBroken;
  if (open_.clip.IsOpen() && !open_.clip.Close()) {
    Fail(open_.info.folder + "/" + kEventClip + " を閉じられません");
    whole = false;
  }
  open_.info.endMs = job.wallMs;
  const std::string marker = EventMarkerText(open_.info, true);
  std::string error;
  if (!WriteFileAtomically(open_.info.folder + "/" + kEventMarkerFile, marker, kMarkerWrite, &error)) {
    Fail(error);
    whole = false;
  }
  if (whole && failSaid_) {
    // Said once, as the failure was: the next failure is said again.
    failSaid_ = false;
    ArchiveReport again;
    again.text = "イベントをまた記録できました: " + open_.info.folder;
    Report(std::move(again));
  }
  ArchiveReport report;
  report.kind = ArchiveReport::Kind::Archived;
  report.event = open_.info;
  Report(std::move(report));
  const std::string folder = open_.info.folder;
  open_.active = false;
  open_.clipStopped = false;
  open_.clipBroken = false;
  open_.info = EventInfo{};
  Retain(folder);
}

// Said every time, apart from the failures said once: the user who asked
// for the test waits for its answer.
void EventRecorder::MakeTestEvent(Job& job) {
  ArchiveReport report;
  report.kind = ArchiveReport::Kind::TestDone;
  std::string folder, error;
  if (!CheckFloor()) {
    report.text = "保存先の空きが少ないため記録しません: " + options_.root;
    Report(std::move(report));
    return;
  }
  if (!CreateEventFolder(options_.root, job.wallMs, folder, &error)) {
    report.text = error;
    Report(std::move(report));
    return;
  }
  EventInfo info;
  info.folder = folder;
  info.startMs = info.endMs = job.wallMs;
  info.test = true;
  const std::string marker = EventMarkerText(info, true);
  if (!WriteFileAtomically(folder + "/" + kEventMarkerFile, marker, kMarkerWrite, &error)) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    report.text = error;
    Report(std::move(report));
    return;
  }
  WritePictureIn(folder, kEventFirstPicture, job.picture, false);
  WritePictureIn(folder, kEventPeakPicture, job.picture, false);
  report.event = info;
  Report(std::move(report));
}

void EventRecorder::Retain(const std::string& keep, bool recording) {
  const RetentionResult result = ApplyRetention(options_.root, options_.limits, WallNow(), keep, MarkerProfile(),
                                                recording ? OpenEventBytes() : -1);
  // The event just ended counts among the others for the next one.
  othersBytes_ = result.bytesKept - (recording ? result.keptEventBytes : 0);
  if (result.failed > 0) Fail("古いイベントを " + std::to_string(result.failed) + " 件削除できません");
  if (result.removed > 0) {
    // The user finds an event gone from the history: the line says why.
    constexpr int64_t kMiB = int64_t{1} << 20;
    ArchiveReport removed;
    removed.text = "古いイベントを " + std::to_string(result.removed) + " 件削除しました（" +
                   std::to_string((result.bytesRemoved + kMiB - 1) / kMiB) + " MB、保存の上限による）";
    Report(std::move(removed));
  }
  // A clock that cannot be right deletes nothing by age, and says why once
  // until it looks right again.
  if (result.ageSkipped.empty()) {
    ageSkippedSaid_ = false;
  } else if (!ageSkippedSaid_) {
    ageSkippedSaid_ = true;
    ArchiveReport report;
    report.text = result.ageSkipped;
    Report(std::move(report));
  }
  CheckFloor();
}
