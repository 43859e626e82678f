#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include <QObject>

#include "monitor/ArmControl.h"
#include "monitor/MonitorServices.h"
#include "net/WaitCancel.h"
#include "platform/Worker.h"

// How often a command by mail that waits for the session's thread looks
// whether the monitor is closing.
constexpr uint32_t kArmCallCheckMs = 20;
// Close ends the mail under way, whatever its server does, within this:
// its socket waits end at once, the mails behind it fail at once.
constexpr long kMailCloseMs = 1000;

// The one thread every mail and mailbox poll runs on, so that neither the
// window nor the monitoring tick waits for a server. Each outcome comes
// back as an event of the session's own thread. Close cancels the waits of
// the mail under way, whose socket ends at once; the mails behind it run
// then too and fail at once, so that what is kept for resending is kept.
//
// Lock order: the worker's queue lock is a leaf; a posted arm call holds
// its own lock while it runs on the session's thread, and nothing else.
class MailWorker : public IMailRunner {
public:
  // What an outcome throws goes to `failed` on the session's thread.
  explicit MailWorker(std::function<void(const std::string& what)> failed);
  ~MailWorker() override;
  MailWorker(const MailWorker&) = delete;
  MailWorker& operator=(const MailWorker&) = delete;

  void Run(std::function<void()> work, std::function<void()> done) override;
  const TWaitCancel* Cancel() const override { return &cancel_; }
  // Ends every mail's waits and joins the thread; outcomes not yet taken
  // are dropped. No mail runs afterwards.
  void Close();
  // Mails asked for and not yet done.
  size_t Pending() const { return worker_.Pending(); }

  // Switching monitoring from a command by mail, which runs on this
  // worker: each call is carried out on the session's thread, and waits
  // for it there, or gives up (monitoring untouched) when the monitor closes.
  IArmControl& ArmOnSessionThread(IArmControl& arm);

private:
  class PostedArm : public IArmControl {
  public:
    PostedArm(IArmControl& arm, QObject& context, const TWaitCancel& cancel)
        : arm_(arm), context_(context), cancel_(cancel) {}
    bool Arm(ArmedBy by, std::string* why) override;
    void Disarm(ArmedBy by) override;
    void Snooze(int minutes, ArmedBy by) override;
    ArmState State() const override;
    bool TestAlarm(std::string* why) override;

  private:
    // Runs `call` on the session's thread; false when the monitor closed first.
    bool OnSessionThread(const std::function<void()>& call) const;
    IArmControl& arm_;
    QObject& context_;
    const TWaitCancel& cancel_;
  };

  std::function<void(const std::string&)> failed_;
  TWaitCancel cancel_;
  // Outcomes are queued to this object: gone with it, they are dropped.
  QObject context_;
  std::unique_ptr<PostedArm> arm_;
  // Last: stopped and joined before what its jobs use goes.
  Worker worker_{"vardocam-mail"};
};
