#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "archive/ClipWriter.h"
#include "archive/EventLayout.h"
#include "archive/FrameRing.h"
#include "archive/Retention.h"
#include "capture/FrameStore.h"
#include "capture/JpegEncoder.h"

// Frames handed to the writer and not yet written. Past either bound new
// frames are dropped (said once) instead of queued: a slow disk never
// costs memory without end, and never stalls the tick.
constexpr size_t kMaxQueuedFrames = 600;  // 20 s at 30 frames a second
constexpr size_t kMaxQueuedBytes = size_t{64} << 20;
// How often the writer looks at the free space while idle or recording.
constexpr int64_t kFloorCheckMs = 5000;
// Quality of first.jpg / peak.jpg / person.jpg where no camera JPEG exists.
constexpr int kEventPictureQuality = 90;
// Left free in EVENT_MAX_MB for what an event adds besides its frames and
// pictures: the clip's container and index, the marker.
constexpr int64_t kEventOverheadBytes = int64_t{64} << 10;

struct EventRecorderOptions {
  std::string root;        // the events folder (EventArchiveRoot)
  int64_t preMs = 3000;    // of frames before the alarm in its clip
  int64_t postMs = 3000;   // recorded after the alarm ended
  RetentionLimits limits;  // applied at the start and after each event
  // Nothing is recorded while the file system has less free; negative:
  // FreeSpaceFloor of its size.
  int64_t minFreeBytes = -1;
  size_t maxQueuedFrames = kMaxQueuedFrames;
  size_t maxQueuedBytes = kMaxQueuedBytes;
  size_t maxRingBytes = kMaxRingBytes;
  int64_t floorCheckMs = kFloorCheckMs;
  // Epoch ms for the event times and folder names; the system's when empty.
  std::function<int64_t()> wallClockMs;
};

// One frame as the monitoring cycle saw it.
struct ArchiveFrameInput {
  cv::Mat jpeg;                     // the camera's JPEG (shared); empty: none
  int64_t timeMs = 0;               // its arrival (steady clock, ms)
  bool fed = false;                 // the camera gave it to Feed already (Tap)
  int32_t changePermille = 0;       // how much of it changed (tenths of a percent)
  const cv::Mat* colour = nullptr;  // the detector's B, G, R picture of it;
                                    // copied only when it is the best so far
                                    // and there is no JPEG
};

// What the writer has to say, collected for the cycle's thread.
struct ArchiveReport {
  // TestDone: a test alarm's folder was made (`event`), or why not (`text`).
  enum class Kind { Archived, FloorChanged, Notice, TestDone };
  Kind kind = Kind::Notice;
  EventInfo event;          // Archived, TestDone
  bool belowFloor = false;  // FloorChanged
  std::string text;         // FloorChanged, Notice, TestDone's failure: in Japanese
};

// Records each alarm as an event folder (archive/EventLayout.h): the marker,
// the first frame, the frame that changed most, where a person was
// confirmed that frame, and a clip from EVENT_PRE_SECONDS before the alarm
// to EVENT_POST_SECONDS after it ended, made of the camera's own JPEGs.
// The cycle's thread calls everything; the files are written by a worker
// of the recorder's own, so a call costs a tick microseconds: a frame is
// held by reference, and a picture copied only when it becomes the best.
// An alarm that starts before the previous one's clip closed goes on in
// that event. Times given as `tick` are the cycle's 32-bit counter.
class EventRecorder {
public:
  // Starts the writer, which applies the limits and looks at the free space.
  explicit EventRecorder(EventRecorderOptions options);
  // Ends an event still open (without its post-seconds) and waits for the
  // writer to finish it.
  ~EventRecorder();
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  // Every JPEG the camera's reader publishes, from any thread, taken by
  // reference: into the ring, or while an event is open into its clip.
  // The clip so has every frame even while the cycle's tick is held up
  // (a mail sent, a slow check) at the very start of the alarm.
  // A stream camera's packets come the same way.
  void Feed(const ClipPacket& packet);
  // Feed for the camera to call; safe to call after the recorder is gone
  // (it then does nothing), so the camera may outlive it.
  JpegTap Tap();
  // The frame the tick compared: the event's first and peak pictures come
  // from it, and its JPEG goes to Feed unless the camera fed it already.
  void Frame(const ArchiveFrameInput& frame);
  // `colour`: the detector's picture of the latest frame, for a first.jpg
  // when the frame came without a JPEG.
  void AlarmStarted(uint32_t tick, const cv::Mat& colour);
  void AlarmEnded(uint32_t tick);
  // A confirmed person's frame (kept by reference): the event's first one
  // becomes person.jpg. Ignored while no event is open.
  void PersonConfirmed(const cv::Mat& frame);
  // A test alarm's folder of its own: its marker says test, its pictures
  // are `colour`, it has no clip, and it is complete at once (TestDone).
  // False while an event is open: a test never goes into a real one.
  bool TestEvent(const cv::Mat& colour);
  // Events begun since the recorder was made (test folders not counted).
  uint64_t EventsBegun() const { return eventsBegun_; }
  // Closes the event whose post-seconds have passed.
  void Tick(uint32_t tick);
  // Ends an open event now and waits until the writer has done everything
  // asked of it.
  void Finish();
  // What happened since the last call, oldest first.
  std::vector<ArchiveReport> TakeReports();

  // An event is open: an alarm, or its post-seconds.
  bool Recording() const { return state_ != State::Idle; }
  // As the writer last measured.
  bool BelowFloor() const { return belowFloor_.load(); }
  size_t RingFrames() const;
  uint64_t FramesDropped() const { return dropped_.load(); }
  // Holds the writer before its next job (tests fill the queue with it).
  void PauseWriter(bool paused);

private:
  enum class State { Idle, Alarm, Post };
  struct Job {
    enum class Kind { Begin, Frame, Person, End, Retention, Test };
    Kind kind = Kind::Frame;
    int64_t wallMs = 0;
    std::deque<ClipFrame> frames;  // Begin: the ring
    ClipFrame frame;               // Frame
    cv::Mat picture;               // Begin: first; Person; End: peak
    bool pictureIsJpeg = false;
  };
  // The writer's event.
  struct Open {
    bool active = false;
    bool clipStopped = false;  // the floor, the size limit or an error ended the clip
    bool clipBroken = false;   // an error did: the clip ends where its last flush left it
    int64_t pictureBytes = 0;  // first.jpg, person.jpg as written
    int64_t largestPicture = 0;  // of those and the clip's frames: what peak.jpg may take
    EventInfo info;
    ClipWriter clip;
  };

  void Enqueue(Job job);
  void EnqueueLocked(Job job);
  // `split`: the event goes on from one that ended at a change of the
  // picture's size; its first picture is the ring's first JPEG if any.
  void BeginEvent(const cv::Mat& colour, bool split);
  void EndEvent();
  // The camera's picture changed size in the open event: it ends there and
  // a new one goes on, alarm or post-seconds as it was.
  void SplitIfResized(const cv::Mat& colour);
  void Keep(const ArchiveFrameInput& frame, cv::Mat& picture, bool& isJpeg);
  int64_t WallNow() const;

  // The writer's side.
  void Run();
  void Handle(Job& job);
  void Begin(Job& job);
  void WriteFrame(const ClipFrame& frame);
  // Opens the clip at its first frame; false when this one cannot start it.
  bool OpenClip(const ClipFrame& frame);
  void WritePicture(const char* name, const cv::Mat& picture, bool isJpeg);
  void Counted(size_t pictureBytes);
  // The bytes written, counted by the caller where they belong to the open event.
  size_t WritePictureIn(const std::string& folder, const char* name, const cv::Mat& picture, bool isJpeg);
  void End(Job& job);
  void MakeTestEvent(Job& job);
  // `recording`: keep is the open event, counted at the size written so far.
  void Retain(const std::string& keep, bool recording = false);
  // The open event's bytes so far, as written.
  int64_t OpenEventBytes() const;
  // Measures the free space; false when below the floor.
  bool CheckFloor();
  void Report(ArchiveReport report);
  void Fail(const std::string& what);
  // The clip could not be made or written: what is in the file stays.
  void ClipFailed(const std::string& what);

  const EventRecorderOptions options_;

  // The cycle's thread.
  State state_ = State::Idle;
  uint32_t postFrom_ = 0;
  int64_t endWallMs_ = 0;  // when the alarm ended (epoch ms)
  cv::Mat lastJpeg_;
  int32_t lastPermille_ = 0;
  cv::Mat peak_;
  bool peakIsJpeg_ = false;
  int32_t peakPermille_ = -1;
  bool personSent_ = false;
  uint64_t eventsBegun_ = 0;

  // Shared.
  mutable std::mutex mutex_;
  FrameRing ring_;
  bool feeding_ = false;  // an event is open: fed frames go to its clip
  int eventWidth_ = 0;    // the size of the pictures in the open event; 0: none yet
  int eventHeight_ = 0;
  // A picture of another size came while feeding: it and what follows wait
  // in the ring for the event that takes over.
  std::atomic<bool> resized_{false};
  // What Tap hands out: the recorder while it lives.
  struct Inlet {
    std::mutex mutex;
    EventRecorder* recorder = nullptr;
  };
  std::shared_ptr<Inlet> inlet_ = std::make_shared<Inlet>();
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Job> queue_;
  size_t queuedFrames_ = 0;
  size_t queuedBytes_ = 0;
  bool busy_ = false;
  bool paused_ = false;
  bool stop_ = false;
  bool droppedSaid_ = false;
  std::atomic<uint64_t> dropped_{0};
  std::vector<ArchiveReport> reports_;
  std::atomic<bool> belowFloor_{false};
  // The open event's clip failed: the next alarm starts an event of its
  // own instead of going on in this one, so its clip is tried afresh.
  std::atomic<bool> clipFailed_{false};

  // The writer's.
  Open open_;
  bool floorKnown_ = false;
  bool failSaid_ = false;  // until an event is kept whole again
  bool ageSkippedSaid_ = false;  // until the clock looks right again
  bool sizeSaid_ = false;
  // Our other events' bytes as the last retention counted them; while an
  // event records, older ones go as it grows past what is left.
  int64_t othersBytes_ = 0;
  bool retainStuck_ = false;  // a folder could not go: not tried again in this event
  bool audioSaid_ = false;
  int64_t lastFloorCheck_ = 0;
  std::unique_ptr<JpegEncoder> encoder_;  // made at the first picture that needs it
  std::thread worker_;
};
