#include "mail/MailOutbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>

#include <unistd.h>

#include "mail/OutboxEntry.h"
#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/PrivateFile.h"

namespace fs = std::filesystem;

namespace {
constexpr char kSuffix[] = ".mail";
// What a kept file that cannot be read is renamed to, beside its name.
constexpr char kUnreadableSuffix[] = ".unreadable";
constexpr size_t kMegabyte = 1024 * 1024;

constexpr char kTemporarySuffix[] = ".mail.tmp";

std::string Limits() {
  return std::to_string(kOutboxMaxMails) + " 通・" + std::to_string(kOutboxMaxBytes / kMegabyte) + " MB";
}

std::string DroppedNotice(int dropped) {
  return "未送信メールが上限（" + Limits() + "）に達したため、古いものから " + std::to_string(dropped) +
         " 通を破棄しました。";
}

// The temporary Write makes: "." + the mail's name + ".tmp".
bool IsOwnTemporary(const std::string& name) {
  const size_t n = sizeof kTemporarySuffix - 1;
  return name.size() > n + 1 && name[0] == '.' && name.compare(name.size() - n, n, kTemporarySuffix) == 0;
}
} // namespace

std::string OutboxFolder(const std::string& profile) { return ProfileDataFolder("outbox", profile); }

MailOutbox::MailOutbox(std::string folder) : folder_(std::move(folder)) {}

MailOutbox::~MailOutbox() = default;

bool MailOutbox::Load(std::string* error) {
  if (!MakePrivateFolder(folder_, error)) return false;
  mails_.clear();
  bytes_ = 0;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // A write cut short by a kill: no other writer shares the profile's outbox.
    if (IsOwnTemporary(name)) ::unlink((folder_ + "/" + name).c_str());
    else if (it->path().extension() == kSuffix) names.push_back(name);
  }
  for (const std::string& name : names) {
    std::string bytes, why;
    const PrivateFileRead result = ReadPrivateFile(folder_ + "/" + name, kOutboxFileMaxBytes, bytes, &why);
    if (result == PrivateFileRead::Missing) continue;
    std::optional<OutboxEntry> read;
    if (result == PrivateFileRead::Read) read = ParseOutboxEntry(bytes, &why);
    if (read && read->mail.text.size() > kOutboxMaxBytes) read.reset(), why = "大きすぎます";
    if (!read) {
      SetAside(name, why);
      continue;
    }
    bytes_ += read->mail.text.size();
    // Whatever the file says, a mail gets at least one more try.
    mails_.push_back(Entry{name, std::move(read->mail), std::min(read->refused, kMaxRefusedAttempts - 1)});
  }
  std::sort(mails_.begin(), mails_.end(), [](const Entry& a, const Entry& b) { return a.file < b.file; });
  // Files put there by hand, or by a build with other bounds, are held to ours.
  int dropped = 0;
  for (; !mails_.empty() && (mails_.size() > kOutboxMaxMails || bytes_ > kOutboxMaxBytes); ++dropped) Drop(0);
  if (dropped > 0) notices_.push_back(DroppedNotice(dropped));
  wait_ = 0;
  changed_ = true;
  return true;
}

// Kept for the user to look at, out of the way of every later load.
void MailOutbox::SetAside(const std::string& name, const std::string& why) {
  const std::string from = folder_ + "/" + name, to = from + kUnreadableSuffix;
  if (::rename(from.c_str(), to.c_str()) == 0) {
    notices_.push_back("保存されていた未送信メール " + from + " を読めないため送りません（" + why + "）。" + to +
                       " に移しました。");
  } else {
    notices_.push_back("保存されていた未送信メール " + from + " を読めないため送りません（" + why +
                       "）。移すこともできませんでした（" + std::strerror(errno) + "）。フォルダの権限を確認してください。");
  }
}

// Milliseconds since the epoch, zero-padded, and a counter: names sort in
// the order the mails were kept, across runs.
std::string MailOutbox::NewFileName() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  char name[64];
  std::snprintf(name, sizeof name, "%016lld-%06llu%s", static_cast<long long>(ms),
                static_cast<unsigned long long>(sequence_++ % 1000000), kSuffix);
  return name;
}

bool MailOutbox::Write(const Entry& entry, std::string* error) {
  // The temporary starts with a dot and does not end in kSuffix: a load
  // after a crash in the middle never takes it for a mail.
  const AtomicWrite how{true, true, folder_ + "/." + entry.file + ".tmp"};
  return WriteFileAtomically(folder_ + "/" + entry.file, OutboxEntryText({entry.mail, entry.refused}), how, error);
}

void MailOutbox::Drop(size_t index) {
  ::unlink((folder_ + "/" + mails_[index].file).c_str());
  bytes_ -= mails_[index].mail.text.size();
  mails_.erase(mails_.begin() + static_cast<std::ptrdiff_t>(index));
  changed_ = true;
}

bool MailOutbox::Keep(const PreparedMail& mail, bool refused) {
  std::string error;
  // Checked at every keep: a folder replaced by a link must not be written through.
  if (!MakePrivateFolder(folder_, &error)) {
    notices_.push_back("送れなかったメールを保存できません（" + folder_ + "）。フォルダを確認してください。");
    return false;
  }
  if (mail.text.size() > kOutboxMaxBytes) {
    notices_.push_back("送れなかったメールが大きすぎるため保存できませんでした（上限 " + Limits() + "）。");
    return false;
  }
  // The oldest go first: the newest alarm says most about now.
  int dropped = 0;
  while (!mails_.empty() && (mails_.size() >= kOutboxMaxMails || bytes_ + mail.text.size() > kOutboxMaxBytes)) {
    Drop(0);
    ++dropped;
  }
  if (dropped > 0) notices_.push_back(DroppedNotice(dropped));
  Entry entry{NewFileName(), mail, refused ? 1 : 0};
  if (!Write(entry, &error)) {
    notices_.push_back("送れなかったメールを保存できません（" + error + "）。空き容量と権限を確認してください。");
    return false;
  }
  bytes_ += mail.text.size();
  mails_.push_back(std::move(entry));
  changed_ = true;
  return true;
}

// A resend that went through frees the way for the next at once; one that
// found no server waits longer each time, up to the longest wait.
void MailOutbox::Finish() {
  done_ = false;
  const auto it = std::find_if(mails_.begin(), mails_.end(), [&](const Entry& e) { return e.file == inFlight_; });
  // Dropped to make room while it was on its way: nothing left to do.
  if (it == mails_.end()) return;
  const size_t index = static_cast<size_t>(it - mails_.begin());
  if (result_.sent) {
    Drop(index);
    wait_ = 0;
    serverDown_ = false;
    return;
  }
  wait_ = wait_ == 0 ? kRetryFirstWaitMs : std::min(kRetryMaxWaitMs, wait_ * kRetryWaitFactor);
  serverDown_ = !result_.refused;
  if (!result_.refused) return;
  if (++it->refused >= kMaxRefusedAttempts) {
    notices_.push_back("未送信メールをサーバが受け付けないため、" + std::to_string(kMaxRefusedAttempts) +
                       " 回試して破棄しました：" + result_.failure);
    Drop(index);
  } else {
    Write(*it);
  }
}

OutboxReport MailOutbox::Pump(const std::function<MailServerSettings()>& server) {
  if (done_) Finish();
  const uint32_t now = GetTickCount();
  if (!mails_.empty() && (wait_ == 0 || now - lastTry_ >= wait_)) {
    lastTry_ = now;
    inFlight_ = mails_.front().file;
    result_ = DeliverMail(server(), mails_.front().mail);
    done_ = true;
  }
  OutboxReport report;
  report.changed = changed_;
  report.waiting = mails_.size();
  report.notices.swap(notices_);
  changed_ = false;
  return report;
}
