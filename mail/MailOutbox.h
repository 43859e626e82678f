#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mail/AlertMail.h"

// What the outbox keeps: enough for a day of a busy camera with the server
// down (a mail with its pictures is 100-300 KB), small next to the disk.
constexpr size_t kOutboxMaxMails = 50;
constexpr size_t kOutboxMaxBytes = 20 * 1024 * 1024;
// A kept file larger than any mail the outbox writes, its header lines
// included, is not read into memory: it is set aside as unreadable.
constexpr size_t kOutboxFileMaxBytes = kOutboxMaxBytes + 64 * 1024;
// Waits between resends while the server cannot take them: the first, the
// factor each failure multiplies it by, and the longest.
constexpr uint32_t kRetryFirstWaitMs = 30 * 1000;
constexpr uint32_t kRetryWaitFactor = 2;
constexpr uint32_t kRetryMaxWaitMs = 30 * 60 * 1000;
// A mail the server refuses for good (5xx to the sender, the recipient or
// the text) is tried this many times in all, then dropped with a notice: a
// refusal from a misconfigured relay may be lifted within minutes, but one
// mail refused forever must not hold the others back.
constexpr int kMaxRefusedAttempts = 3;

// The words every failure of a mail that was kept carries: once the
// outbox is empty, such a failure is no longer news.
constexpr char kResendLaterWords[] = "後で送り直します";

// $XDG_DATA_HOME/vardocam/outbox/<profile, or "default"> (~/.local/share
// without XDG_DATA_HOME): outlives the logout that clears the working folder.
std::string OutboxFolder(const std::string& profile);

// What a pump of the outbox brought: how many wait now, and whether that
// changed; what the user should read (a mail dropped).
struct OutboxReport {
  bool changed = false;
  size_t waiting = 0;
  std::vector<std::string> notices;
};

// Mails that could not be sent, one file each (mode 0600, written to a
// temporary file and renamed) in a folder of mode 0700, sent again oldest
// first. Every call is on the one mail thread, which is never the
// monitoring tick's: a resend runs in place there, so a server that does
// not answer holds only the mails behind it.
class MailOutbox {
public:
  explicit MailOutbox(std::string folder);
  // Waits for a resend in flight; its session has its own deadline.
  ~MailOutbox();
  MailOutbox(const MailOutbox&) = delete;
  MailOutbox& operator=(const MailOutbox&) = delete;

  // Reads the mails an earlier run kept; they are due at once. One that
  // cannot be read is renamed "<name>.unreadable", never deleted, and said
  // in the next report. False, with the reason, when the folder cannot be
  // made.
  bool Load(std::string* error);
  // Keeps a mail that could not go out; `refused`: its try was refused for
  // good. The oldest make room when the bounds are reached (said in the
  // next report). False when it cannot be written.
  bool Keep(const PreparedMail& mail, bool refused);
  // Takes the last resend's outcome and, when the wait has passed, makes
  // the next one with the settings of that moment; its outcome is taken by
  // the next pump.
  OutboxReport Pump(const std::function<MailServerSettings()>& server);

  size_t Waiting() const { return mails_.size(); }
  size_t WaitingBytes() const { return bytes_; }
  // The wait before the next resend: 0 until a resend failed.
  uint32_t RetryWaitMs() const { return wait_; }
  // The last resend found no server to take it: new mails join the queue
  // without a try of their own.
  bool ServerDown() const { return serverDown_; }
  const std::string& Folder() const { return folder_; }

private:
  struct Entry {
    std::string file;  // name in the folder; its order is the mails' order
    PreparedMail mail;
    int refused = 0;
  };
  bool Write(const Entry& entry, std::string* error = nullptr);
  void SetAside(const std::string& name, const std::string& why);
  void Drop(size_t index);
  void Finish();
  std::string NewFileName();

  std::string folder_;
  std::vector<Entry> mails_;
  size_t bytes_ = 0;
  uint32_t wait_ = 0;
  uint32_t lastTry_ = 0;
  bool serverDown_ = false;
  bool changed_ = false;
  std::vector<std::string> notices_;
  uint64_t sequence_ = 0;
  // The last resend: which file, and its outcome once `done_`.
  std::string inFlight_;
  bool done_ = false;
  DeliveryResult result_;
};
