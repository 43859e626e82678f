#include "service/StopSignals.h"

#include <cerrno>
#include <chrono>
#include <csignal>

#include <QCoreApplication>
#include <QMetaObject>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Written by the signal handler, read by the watcher; 0 ends the watcher.
int g_signalPipe = -1;
constexpr char kQuitWatcher = 0;

void OnSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  if (g_signalPipe >= 0) (void)!write(g_signalPipe, &byte, 1);
  errno = saved;
}

void Handle(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signal, &action, nullptr);
}
} // namespace

StopSignals::StopSignals(std::function<void()> onStop, std::function<void()> onDeadline,
                         uint32_t deadlineMs)
    : onStop_(std::move(onStop)), onDeadline_(std::move(onDeadline)), deadlineMs_(deadlineMs) {
  if (pipe2(pipe_, O_CLOEXEC) != 0) return;
  g_signalPipe = pipe_[1];
  watcher_ = std::thread([this] { Watch(); });
  Handle(SIGTERM, OnSignal);
  Handle(SIGINT, OnSignal);
}

StopSignals::~StopSignals() {
  Handle(SIGTERM, SIG_DFL);
  Handle(SIGINT, SIG_DFL);
  Stopped();
  if (pipe_[1] >= 0) (void)!write(pipe_[1], &kQuitWatcher, 1);
  if (watcher_.joinable()) watcher_.join();
  g_signalPipe = -1;
  for (int fd : pipe_)
    if (fd >= 0) close(fd);
}

void StopSignals::Stopped() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
  done_.notify_all();
}

void StopSignals::Watch() {
  char byte = 0;
  for (;;) {
    const ssize_t n = read(pipe_[0], &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || byte == kQuitWatcher) return;
    break;
  }
  QMetaObject::invokeMethod(QCoreApplication::instance(), onStop_, Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(mutex_);
  if (!done_.wait_for(lock, std::chrono::milliseconds(deadlineMs_), [this] { return stopped_; }))
    onDeadline_();
}
