#include "session/MailWorker.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <QThread>

#include "platform/ExceptionBox.h"

MailWorker::MailWorker(std::function<void(const std::string& what)> failed) : failed_(std::move(failed)) {}

MailWorker::~MailWorker() { Close(); }

void MailWorker::Run(std::function<void()> work, std::function<void()> done) {
  worker_.Post([this, work = std::move(work), done = std::move(done)]() mutable {
    work();
    QMetaObject::invokeMethod(
        &context_,
        [this, done = std::move(done)] {
          std::string message;
          if (!RunCatching(done, message) && failed_) failed_(message);
        },
        Qt::QueuedConnection);
  });
}

void MailWorker::Close() {
  // Drained, not dropped: with the waits cancelled each mail ends at once,
  // and one that is kept for resending is written to the outbox.
  worker_.Stop([this] { cancel_.Cancel(); }, true);
}

IArmControl& MailWorker::ArmOnSessionThread(IArmControl& arm) {
  arm_ = std::make_unique<PostedArm>(arm, context_, cancel_);
  return *arm_;
}

bool MailWorker::PostedArm::OnSessionThread(const std::function<void()>& call) const {
  if (QThread::currentThread() == context_.thread()) {
    call();
    return true;
  }
  struct Handover {
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
    bool abandoned = false;
  };
  auto handover = std::make_shared<Handover>();
  // The call runs under the hand-over's lock, so the waiting side cannot
  // give up while the call writes into what it lent.
  QMetaObject::invokeMethod(
      &context_,
      [handover, call] {
        std::lock_guard<std::mutex> lock(handover->mutex);
        if (handover->abandoned) return;
        call();
        handover->ran = true;
        handover->done.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(handover->mutex);
  while (!handover->ran) {
    if (cancel_.Cancelled()) {
      handover->abandoned = true;
      return false;
    }
    handover->done.wait_for(lock, std::chrono::milliseconds(kArmCallCheckMs));
  }
  return true;
}

bool MailWorker::PostedArm::Arm(ArmedBy by, std::string* why) {
  bool armed = false;
  std::string reason;
  if (!OnSessionThread([&] { armed = arm_.Arm(by, &reason); })) reason = "終了処理中のため、監視を開始しませんでした。";
  if (why) *why = reason;
  return armed;
}

void MailWorker::PostedArm::Disarm(ArmedBy by) {
  OnSessionThread([&] { arm_.Disarm(by); });
}

void MailWorker::PostedArm::Snooze(int minutes, ArmedBy by) {
  OnSessionThread([&] { arm_.Snooze(minutes, by); });
}

bool MailWorker::PostedArm::TestAlarm(std::string* why) {
  bool started = false;
  std::string reason;
  if (!OnSessionThread([&] { started = arm_.TestAlarm(&reason); }))
    reason = "終了処理中のため、テスト警報は鳴らしませんでした。";
  if (why) *why = reason;
  return started;
}

ArmState MailWorker::PostedArm::State() const {
  ArmState state;
  OnSessionThread([&] { state = arm_.State(); });
  return state;
}
