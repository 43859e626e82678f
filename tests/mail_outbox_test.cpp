#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mail/MailOutbox.h"
#include "mail/OutboxEntry.h"
#include "mail/SmtpClient.h"
#include "monitor/MonitorMail.h"
#include "monitor/StatusLog.h"
#include "platform/AppPaths.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/LoopbackPort.h"
#include "support/MonitorFakes.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
class OutboxFixture : public ::testing::Test {
protected:
  void SetUp() override {
    AppSettings = typVardocam{};
    AppSettings.MAIL_HOSTNAME = "127.0.0.1";
    AppSettings.MAIL_PORTNUMBER = FreeLoopbackPort();  // nobody listens yet
    AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
    AppSettings.MAIL_TOADDRESS = "owner@mail.test";
    SetMailReplyTimeoutMs(10000);
  }
  void TearDown() override { SetMailReplyTimeoutMs(kSmtpTimeoutMs); }

  static MailServerSettings Server() {
    MailServerSettings server;
    FillSmtpSettings(server);
    return server;
  }
  static PreparedMail Mail(const std::string& line = "本文") {
    MailInputs inputs;
    inputs.server = Server();
    inputs.withPicture = false;
    return ComposeMail("テスト", {line}, inputs);
  }
  // One resend to its end; the report of the pump that took its outcome.
  static OutboxReport Resend(MailOutbox& outbox) {
    outbox.Pump(Server);
    return outbox.Pump(Server);
  }
  std::unique_ptr<SmtpPeer> StartPeer(const std::vector<std::string>& extra = {}) {
    auto peer = std::make_unique<SmtpPeer>("plain", dir_.Path(), extra);
    AppSettings.MAIL_PORTNUMBER = std::stoi(peer->Port());
    return peer;
  }
  static unsigned Mode(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 0777;
  }

  TempDir dir_;
  std::string folder_ = dir_.File("outbox/default");
};
} // namespace

TEST_F(OutboxFixture, MailKeptWhileTheServerIsDownArrivesUnchangedAfterARestart) {
  const PreparedMail mail = Mail();
  const DeliveryResult down = DeliverMail(Server(), mail);
  ASSERT_FALSE(down.sent);
  EXPECT_FALSE(down.refused);  // no server is no refusal
  {
    MailOutbox before(folder_);
    ASSERT_TRUE(before.Load(nullptr));
    ASSERT_TRUE(before.Keep(mail, false));
  }
  EXPECT_EQ(Mode(folder_), 0700u);
  for (const auto& file : std::filesystem::directory_iterator(folder_))
    EXPECT_EQ(Mode(file.path().string()), 0600u) << file.path();

  auto peer = StartPeer();  // on another port: the settings of the resend count
  MailOutbox after(folder_);
  std::string error;
  ASSERT_TRUE(after.Load(&error)) << error;
  ASSERT_EQ(after.Waiting(), 1u);
  const OutboxReport report = Resend(after);
  EXPECT_TRUE(report.changed);
  EXPECT_EQ(report.waiting, 0u);
  EXPECT_EQ(ReadFileBytes(dir_.File("msg-1.eml")), mail.text);  // same Message-ID, same Date
  EXPECT_TRUE(std::filesystem::is_empty(folder_));
}

TEST_F(OutboxFixture, BoundsDropTheOldestAndSaySo) {
  const std::string big(8 * 1024 * 1024, 'x');
  const std::string huge(kOutboxMaxBytes + 1, 'x');
  struct Row {
    size_t count;
    std::string line;
    size_t waiting;
    size_t notices;
  } rows[] = {
      {kOutboxMaxMails + 1, "小", kOutboxMaxMails, 1},  // the count
      {3, big, 2, 1},                                   // the total size
      {1, huge, 0, 1},                                  // one mail over it all
  };
  for (const Row& row : rows) {
    TempDir dir;
    MailOutbox outbox(dir.File("outbox"));
    ASSERT_TRUE(outbox.Load(nullptr));
    for (size_t i = 0; i < row.count; ++i)
      outbox.Keep({"a@mail.test", "b@mail.test", std::to_string(i) + ":" + row.line + "\r\n"}, false);
    EXPECT_EQ(outbox.Waiting(), row.waiting) << row.count;
    EXPECT_LE(outbox.WaitingBytes(), kOutboxMaxBytes);
    // The oldest went: no file holds the first mail.
    for (const auto& file : std::filesystem::directory_iterator(dir.File("outbox")))
      EXPECT_EQ(ReadFileBytes(file.path().string()).find("\n\n0:"), std::string::npos);
    EXPECT_EQ(outbox.Pump([] { return MailServerSettings{}; }).notices.size(), row.notices);
  }
}

TEST_F(OutboxFixture, WaitsGrowWhileNoServerAnswers) {
  FakeClock clock(1000);
  MailOutbox outbox(folder_);
  ASSERT_TRUE(outbox.Load(nullptr));
  ASSERT_TRUE(outbox.Keep(Mail(), false));
  Resend(outbox);
  const uint32_t expected[] = {30000, 60000, 120000, 240000, 480000, 960000, kRetryMaxWaitMs, kRetryMaxWaitMs};
  for (uint32_t wait : expected) {
    ASSERT_EQ(outbox.RetryWaitMs(), wait);
    EXPECT_TRUE(outbox.ServerDown());
    clock.Advance(wait - 1);
    Resend(outbox);  // too early: nothing is tried
    ASSERT_EQ(outbox.RetryWaitMs(), wait);
    clock.Advance(1);
    Resend(outbox);
  }
  EXPECT_EQ(outbox.Waiting(), 1u);
}

// A 5xx is tried kMaxRefusedAttempts times in all, across restarts, then dropped.
TEST_F(OutboxFixture, RefusedMailIsDroppedAfterItsAttemptsWithANotice) {
  FakeClock clock(1000);
  auto peer = StartPeer({"--require-auth"});  // MAIL FROM without AUTH: 530
  const PreparedMail mail = Mail();
  const DeliveryResult first = DeliverMail(Server(), mail);
  ASSERT_TRUE(first.refused) << first.failure;
  {
    MailOutbox outbox(folder_);
    ASSERT_TRUE(outbox.Load(nullptr));
    ASSERT_TRUE(outbox.Keep(mail, true));
    EXPECT_TRUE(Resend(outbox).notices.empty());
    EXPECT_FALSE(outbox.ServerDown());
  }
  MailOutbox outbox(folder_);
  ASSERT_TRUE(outbox.Load(nullptr));
  const OutboxReport last = Resend(outbox);
  ASSERT_EQ(last.notices.size(), 1u);
  EXPECT_NE(last.notices[0].find("破棄しました"), std::string::npos) << last.notices[0];
  EXPECT_EQ(outbox.Waiting(), 0u);
}

// The monitor's path: a health mail that cannot go out is kept, said as such,
// and the status line counts it.
TEST_F(OutboxFixture, MonitorMailKeepsAFailedMailAndTheStatusLineCountsIt) {
  AppSettings.MAIL_RETRY = true;
  MonitorMail mail;
  mail.SetOutboxFolder(folder_);
  StatusLog status;
  const MailResult result = mail.SendHealthMail(ContextOfNow(), "カメラの映像が途絶えています", {"本文"});
  EXPECT_FALSE(result.sent);
  EXPECT_NE(result.failure.find("後で送り直します"), std::string::npos) << result.failure;
  const PendingMailReport turn = mail.DeliverPending(ContextOfNow());
  if (turn.changed) status.On(MonitorEvent::MailQueueChanged(turn.waiting));
  EXPECT_NE(status.StatusText().find("未送信メール 1 通"), std::string::npos) << status.StatusText();
}

// A kept file is parsed from its bytes alone; one that cannot be read is
// renamed beside itself and said, never deleted and never sent half.
TEST_F(OutboxFixture, KeptFilesAreReadOrSetAsideWithANotice) {
  const std::string head = std::string(kOutboxFirstLine) + "\nfrom=a@mail.test\nto=b@mail.test\n";
  struct Row {
    const char* what;
    std::string bytes;
    size_t sparseSize;  // instead of the bytes: a file this large
    bool read;
    int refused;
  } rows[] = {
      {"as written", OutboxEntryText({{"a@mail.test", "b@mail.test", "本文\r\n"}, 2}), 0, true, 2},
      {"unknown and bare lines", head + "x-new=1\nbare\nrefused=1\n\nA\r\n", 0, true, 1},
      {"refusals past the ceiling", head + "refused=99999999999999999999\n\nA\r\n", 0, true, kOutboxRefusedCeiling},
      {"negative refusals", head + "refused=-5\n\nA\r\n", 0, true, 0},
      {"another first line", "vardocam-outbox 2\n\nA\r\n", 0, false, 0},
      {"first line with CR", std::string(kOutboxFirstLine) + "\r\nfrom=a\n\nA\r\n", 0, false, 0},
      {"header to the end", head + "refused=0", 0, false, 0},
      {"no message", head + "refused=0\n\n", 0, false, 0},
      {"empty file", "", 0, false, 0},
      {"larger than any kept mail", "", kOutboxFileMaxBytes + 1, false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.sparseSize == 0) {
      const std::optional<OutboxEntry> parsed = ParseOutboxEntry(row.bytes);
      ASSERT_EQ(parsed.has_value(), row.read);
      if (parsed) {
        EXPECT_EQ(parsed->mail.from, "a@mail.test");
        EXPECT_EQ(parsed->mail.to, "b@mail.test");
        EXPECT_EQ(parsed->refused, row.refused);
        // What is read writes back as it came, but for a refusal count cut or floored.
        if (row.refused == 2) {
          EXPECT_EQ(OutboxEntryText(*parsed), row.bytes);
        }
      }
    }
    TempDir dir;
    const std::string folder = dir.File("outbox");
    ASSERT_TRUE(MakePrivateFolder(folder, nullptr));
    const std::string file = folder + "/0000000000000001-000000.mail";
    WriteFileBytes(file, row.bytes);
    if (row.sparseSize) std::filesystem::resize_file(file, row.sparseSize);
    MailOutbox outbox(folder);
    ASSERT_TRUE(outbox.Load(nullptr));
    EXPECT_EQ(outbox.Waiting(), row.read ? 1u : 0u);
    const OutboxReport report = outbox.Pump([] { return MailServerSettings{}; });
    if (row.read) {
      EXPECT_TRUE(report.notices.empty());
      continue;
    }
    ASSERT_EQ(report.notices.size(), 1u);
    EXPECT_NE(report.notices[0].find(file + ".unreadable"), std::string::npos) << report.notices[0];
    EXPECT_FALSE(std::filesystem::exists(file));
    if (!row.sparseSize) {
      EXPECT_EQ(ReadFileBytes(file + ".unreadable"), row.bytes);
    }
    // Set aside once: the next load neither reads it nor says it again.
    MailOutbox again(folder);
    ASSERT_TRUE(again.Load(nullptr));
    EXPECT_EQ(again.Waiting(), 0u);
    EXPECT_TRUE(again.Pump([] { return MailServerSettings{}; }).notices.empty());
  }
}

// Whatever lies in the outbox folder is held to the outbox's own rules at
// load: only regular files of this user, not reached through links, within
// the bounds, mode 0600; the outbox's own leftovers are cleaned. A folder
// that became a link is written through no more than it is read.
TEST_F(OutboxFixture, PlantedFilesAreHeldToTheOutboxRules) {
  namespace fs = std::filesystem;
  const std::string mail = OutboxEntryText({{"a@mail.test", "b@mail.test", "本文\r\n"}, 0});
  const auto name = [](int i) {
    char text[64];
    std::snprintf(text, sizeof text, "%016d-000000.mail", i);
    return std::string(text);
  };
  struct Row {
    const char* what;
    // False: the row cannot be planted here (chown needs root).
    std::function<bool(const std::string& folder, const std::string& elsewhere)> plant;
    size_t waiting;
    const char* notice;  // "": none
  };
  const std::string half(kOutboxMaxBytes / 2, 'x');
  const Row rows[] = {
      {"mode 0644 made 0600", [&](const std::string& f, const std::string&) {
         WriteFileBytes(f + "/" + name(1), mail);
         return ::chmod((f + "/" + name(1)).c_str(), 0644) == 0;
       }, 1, ""},
      {"a link to a mail elsewhere", [&](const std::string& f, const std::string& e) {
         WriteFileBytes(e + "/other.mail", mail);
         fs::create_symlink(e + "/other.mail", f + "/" + name(1));
         return true;
       }, 0, "リンクは読みません"},
      {"another user's file", [&](const std::string& f, const std::string&) {
         WriteFileBytes(f + "/" + name(1), mail);
         return ::chown((f + "/" + name(1)).c_str(), 65534, 65534) == 0;
       }, 0, "他のユーザのファイルです"},
      {"a mail over the byte bound", [&](const std::string& f, const std::string&) {
         WriteFileBytes(f + "/" + name(1), OutboxEntryText({{"a@x", "b@x", std::string(kOutboxMaxBytes + 1, 'x')}, 0}));
         return true;
       }, 0, "大きすぎます"},
      {"more mails than the bound", [&](const std::string& f, const std::string&) {
         for (int i = 0; i < static_cast<int>(kOutboxMaxMails) + 10; ++i) WriteFileBytes(f + "/" + name(i), mail);
         return true;
       }, kOutboxMaxMails, "古いものから 10 通を破棄"},
      {"more bytes than the bound", [&](const std::string& f, const std::string&) {
         for (int i = 0; i < 3; ++i) WriteFileBytes(f + "/" + name(i), OutboxEntryText({{"a@x", "b@x", half}, 0}));
         return true;
       }, 2, "古いものから 1 通を破棄"},
      {"a write cut short", [&](const std::string& f, const std::string&) {
         WriteFileBytes(f + "/." + name(1) + ".tmp", mail.substr(0, 10));
         return true;
       }, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    const std::string folder = dir.File("outbox"), elsewhere = dir.File("elsewhere");
    ASSERT_TRUE(MakePrivateFolder(folder, nullptr) && MakePrivateFolder(elsewhere, nullptr));
    if (!row.plant(folder, elsewhere)) continue;
    MailOutbox outbox(folder);
    ASSERT_TRUE(outbox.Load(nullptr));
    EXPECT_EQ(outbox.Waiting(), row.waiting);
    std::string notices;
    for (const std::string& n : outbox.Pump([] { return MailServerSettings{}; }).notices) notices += n;
    EXPECT_TRUE(*row.notice ? notices.find(row.notice) != std::string::npos : notices.empty()) << notices;
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string file = entry.path().filename().string();
      EXPECT_NE(file.rfind(".tmp"), file.size() - 4) << file;  // no leftover stays
      if (entry.is_regular_file() && !entry.is_symlink() && file.find(".unreadable") == std::string::npos) {
        EXPECT_EQ(Mode(entry.path().string()), 0600u) << file;
      }
    }
    EXPECT_EQ(ReadFileBytes(elsewhere + "/other.mail"), row.notice == std::string("リンクは読みません") ? mail : "");
  }
  // The folder itself a link: nothing is kept through it.
  TempDir dir;
  const std::string elsewhere = dir.File("elsewhere");
  ASSERT_TRUE(MakePrivateFolder(elsewhere, nullptr));
  fs::create_symlink(elsewhere, dir.File("outbox"));
  MailOutbox linked(dir.File("outbox"));
  std::string error;
  EXPECT_FALSE(linked.Load(&error));
  EXPECT_FALSE(linked.Keep(Mail(), false));
  EXPECT_TRUE(fs::is_empty(elsewhere));
}
