#include "platform/Worker.h"

#include <pthread.h>

Worker::Worker(std::string name) : name_(std::move(name)) {
  thread_ = std::thread([this] { Run(); });
  const std::string shortName = name_.substr(0, kMaxThreadNameBytes);
  pthread_setname_np(thread_.native_handle(), shortName.c_str());
}

Worker::~Worker() { Stop(); }

bool Worker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    jobs_.push_back(std::move(job));
  }
  changed_.notify_all();
  return true;
}

size_t Worker::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jobs_.size() + (running_ ? 1 : 0);
}

bool Worker::Stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void Worker::Stop(const std::function<void()>& interrupt, bool drain) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopping_) drain_ = drain;
    stopping_ = true;
    if (!drain_) jobs_.clear();
  }
  changed_.notify_all();
  if (interrupt) interrupt();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Worker::WaitIdle() const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return (jobs_.empty() && !running_) || finished_; });
}

void Worker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty() || (stopping_ && !drain_)) break;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    running_ = true;
    lock.unlock();
    // A job that throws must not take the thread with it; its owner hears
    // of failures through what the job itself reports.
    try {
      job();
    } catch (...) {
    }
    job = nullptr;
    lock.lock();
    running_ = false;
    changed_.notify_all();
  }
  jobs_.clear();
  running_ = false;
  finished_ = true;
  changed_.notify_all();
}
