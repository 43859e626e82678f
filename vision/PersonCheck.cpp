#include "vision/PersonCheck.h"

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "vision/PersonDetector.h"

namespace {
using SteadyClock = std::chrono::steady_clock;
// Shown in top and gdb beside the monitoring threads.
constexpr char kPersonCheckThreadName[] = "person-check";

double ThreadCpuMs() {
  timespec t{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1.0e6;
}
} // namespace

std::unique_ptr<IPersonDetector> MakePersonDetector(std::string* why) {
  return MakeHogPersonDetector(PersonSearch{}, why);
}

std::string PersonPictureProblem(const cv::Mat& frame) {
  if (frame.empty()) return "確認する画像がありませんでした";
  if (frame.depth() != CV_8U || (frame.channels() != 3 && frame.channels() != 1))
    return "画像の形式を読み取れませんでした";
  return "";
}

PersonVerdict IPersonDetector::Check(const cv::Mat& frame, const MotionRegions& regions) {
  PersonVerdict verdict;
  if (std::optional<cv::Rect> box = Find(frame, regions)) {
    verdict.answer = PersonAnswer::Found;
    verdict.person.box = *box;
  }
  return verdict;
}

struct PersonCheckWorker::State {
  std::unique_ptr<IPersonDetector> detector;
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::optional<PersonCandidate> waiting;
  std::deque<PersonVerdict> verdicts;
  uint64_t generation = 0;  // moved on by Clear: a check begun before it is void
  bool stopping = false;
  bool checking = false;
  std::atomic<uint64_t> checksRun{0};
  std::atomic<double> cpuMs{0.0};
  std::chrono::milliseconds spacing{1000 / kMaxPersonChecksPerSecond};
  std::thread thread;

  // A check that throws or cannot look answers Unknown with why; the
  // worker goes on with the next candidate.
  PersonVerdict CheckOne(PersonCandidate& candidate) {
    PersonVerdict verdict;
    if (std::string problem = PersonPictureProblem(candidate.frame); !problem.empty()) {
      verdict = {PersonAnswer::Unknown, {}, std::move(problem)};
    } else {
      try {
        verdict = detector->Check(candidate.frame, candidate.regions);
      } catch (const std::exception& e) {
        verdict = {PersonAnswer::Unknown, {}, std::string("人物の検出でエラーが起きました：") + e.what()};
      } catch (...) {
        verdict = {PersonAnswer::Unknown, {}, "人物の検出で原因の分からないエラーが起きました"};
      }
    }
    if (verdict.answer == PersonAnswer::Found) verdict.person.frame = std::move(candidate.frame);
    verdict.person.frameTimeMs = candidate.frameTimeMs;
    return verdict;
  }

  void Run() {
    pthread_setname_np(pthread_self(), kPersonCheckThreadName);
    SteadyClock::time_point nextCheck = SteadyClock::now();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || waiting.has_value(); });
      if (stopping) return;
      // The spacing is waited for with the candidate left in place, so a
      // newer one submitted meanwhile replaces it.
      if (wake.wait_until(lock, nextCheck, [this] { return stopping; })) return;
      if (!waiting) continue;
      PersonCandidate candidate = std::move(*waiting);
      waiting.reset();
      const uint64_t checkedGeneration = generation;
      nextCheck = SteadyClock::now() + spacing;
      checking = true;
      lock.unlock();

      const double cpuBefore = ThreadCpuMs();
      PersonVerdict verdict = CheckOne(candidate);
      cpuMs.store(cpuMs.load() + (ThreadCpuMs() - cpuBefore));
      checksRun.fetch_add(1);

      lock.lock();
      checking = false;
      if (generation == checkedGeneration && !stopping) {
        if (verdicts.size() >= kMaxPersonsKept) verdicts.pop_front();
        verdicts.push_back(std::move(verdict));
      }
    }
  }
};

PersonCheckWorker::PersonCheckWorker(std::unique_ptr<IPersonDetector> detector, int maxChecksPerSecond)
    : state_(std::make_unique<State>()) {
  state_->detector = std::move(detector);
  state_->spacing = std::chrono::milliseconds(1000 / std::max(1, maxChecksPerSecond));
  if (state_->detector) state_->thread = std::thread([s = state_.get()] { s->Run(); });
}

PersonCheckWorker::~PersonCheckWorker() { Stop(); }

void PersonCheckWorker::Submit(PersonCandidate candidate) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->stopping || !state_->detector) return;
    state_->waiting = std::move(candidate);
  }
  state_->wake.notify_one();
}

void PersonCheckWorker::Clear() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->waiting.reset();
  state_->verdicts.clear();
  ++state_->generation;
}

std::optional<PersonVerdict> PersonCheckWorker::TakeVerdict() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->verdicts.empty()) return std::nullopt;
  PersonVerdict first = std::move(state_->verdicts.front());
  state_->verdicts.pop_front();
  return first;
}

std::optional<PersonFound> PersonCheckWorker::TakeFound() {
  while (std::optional<PersonVerdict> verdict = TakeVerdict())
    if (verdict->answer == PersonAnswer::Found) return std::move(verdict->person);
  return std::nullopt;
}

void PersonCheckWorker::Stop() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->waiting.reset();
  }
  state_->wake.notify_all();
  if (state_->thread.joinable()) state_->thread.join();
}

bool PersonCheckWorker::Idle() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return !state_->waiting && !state_->checking;
}

uint64_t PersonCheckWorker::ChecksRun() const { return state_->checksRun.load(); }

double PersonCheckWorker::CheckCpuMs() const { return state_->cpuMs.load(); }
