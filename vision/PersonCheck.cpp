#include "vision/PersonCheck.h"

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

double ThreadCpuMs() {
  timespec t{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1.0e6;
}
} // namespace

std::unique_ptr<IPersonDetector> MakePersonDetector(std::string* why) {
  return MakeHogPersonDetector(PersonSearch{}, why);
}

struct PersonCheckWorker::State {
  std::unique_ptr<IPersonDetector> detector;
  mutable std::mutex mutex;
  std::condition_variable wake;
  std::optional<PersonCandidate> waiting;
  std::deque<PersonFound> found;
  uint64_t generation = 0;  // moved on by Clear: a check begun before it is void
  bool stopping = false;
  std::atomic<uint64_t> checksRun{0};
  std::atomic<double> cpuMs{0.0};
  std::chrono::milliseconds spacing{1000 / kMaxPersonChecksPerSecond};
  std::thread thread;

  void Run() {
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
      lock.unlock();

      const double cpuBefore = ThreadCpuMs();
      std::optional<cv::Rect> box;
      try {
        box = detector->Find(candidate.frame, candidate.regions);
      } catch (const std::exception&) {
        box.reset();  // a failed check found nobody; the worker goes on
      }
      cpuMs.store(cpuMs.load() + (ThreadCpuMs() - cpuBefore));
      checksRun.fetch_add(1);

      lock.lock();
      if (box && generation == checkedGeneration && !stopping) {
        if (found.size() >= kMaxPersonsKept) found.pop_front();
        found.push_back({std::move(candidate.frame), *box, candidate.frameTimeMs});
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
  state_->found.clear();
  ++state_->generation;
}

std::optional<PersonFound> PersonCheckWorker::TakeFound() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->found.empty()) return std::nullopt;
  PersonFound first = std::move(state_->found.front());
  state_->found.pop_front();
  return first;
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

uint64_t PersonCheckWorker::ChecksRun() const { return state_->checksRun.load(); }

double PersonCheckWorker::CheckCpuMs() const { return state_->cpuMs.load(); }
