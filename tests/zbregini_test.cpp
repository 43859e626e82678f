#include <csignal>
#include <filesystem>
#include <set>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "settings/ZBRegIni.h"
#include "support/TempDir.h"

namespace {
// Saves are killed until one leaves its temporary copy behind; a save
// takes milliseconds, so a few dozen tries are plenty.
constexpr int kMaxKillAttempts = 200;

std::set<std::string> Entries(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    names.insert(entry.path().filename().string());
  return names;
}

size_t TemporaryCount(const TempDir& dir) {
  const std::string prefix = std::string("Vardocam.reg") + ZBRegIni::kTempInfix;
  size_t count = 0;
  for (const std::string& name : Entries(dir)) count += name.compare(0, prefix.size(), prefix) == 0;
  return count;
}

// A child that saves a store holding a password over and over, killed
// with SIGKILL after delayUs.
void KillASave(const std::string& path, int delayUs) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ZBRegIni store(path);
    for (int i = 0;; ++i) {
      store.WriteString("SETTING", "MAIL_PASSWORD", "secret" + std::string(64 * 1024, 'x'));
      store.WriteInteger("SETTING", "COUNT", i);
      store.UpdateFile();
    }
  }
  usleep(static_cast<useconds_t>(delayUs));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
}
} // namespace

TEST(ZBRegIni, NextSaveRemovesTheTemporaryCopyOfASaveKilledHalfWay) {
  TempDir dir;
  const std::string path = dir.File("Vardocam.reg");
  // A whole file first: a kill inside the very first save would otherwise
  // leave no file to reread.
  ZBRegIni first(path);
  first.WriteString("SETTING", "MAIL_PASSWORD", "secret");
  ASSERT_TRUE(first.UpdateFile());
  int attempts = 0;
  // Kill after 2 to 11.5 ms, in turn, to land inside a save.
  while (TemporaryCount(dir) == 0 && attempts < kMaxKillAttempts)
    KillASave(path, 2000 + 500 * (attempts++ % 20));
  ASSERT_GT(TemporaryCount(dir), 0u) << "no save was caught half-way in " << attempts << " tries";
  // The settings file itself was never broken.
  ZBRegIni reread(path);
  EXPECT_EQ(reread.ReadString("SETTING", "MAIL_PASSWORD", "").compare(0, 6, "secret"), 0);

  ZBRegIni store(path);
  store.WriteString("SETTING", "MAIL_PASSWORD", "new");
  ASSERT_TRUE(store.UpdateFile());
  EXPECT_EQ(TemporaryCount(dir), 0u);
  EXPECT_EQ(Entries(dir), std::set<std::string>{"Vardocam.reg"});
}

TEST(ZBRegIni, OnlyOurOwnAbandonedCopiesAreRemoved) {
  TempDir dir;
  const std::string stale = std::string("Vardocam.reg") + ZBRegIni::kTempInfix + "Ab12Cd";
  const std::string busy = std::string("Vardocam.reg") + ZBRegIni::kTempInfix + "Zz99Yy";
  const std::string link = std::string("Vardocam.reg") + ZBRegIni::kTempInfix + "Sym123";
  const std::string folder = std::string("Vardocam.reg") + ZBRegIni::kTempInfix + "Dir123";
  const std::set<std::string> kept = {
      busy, link, folder,
      std::string("Vardocam.reg") + ZBRegIni::kTempInfix + "abc",      // not six characters
      std::string("Vardocam.reg") + ZBRegIni::kTempInfix + "ab-12c",   // not letters and digits
      std::string("Other.reg") + ZBRegIni::kTempInfix + "Ab12Cd",      // another file's
      "Vardocam.reg.bak", "Vardocam.reg.Ab12Cd", "notes.txt", "target"};
  for (const std::string& name : kept)
    if (name != link && name != folder) WriteFileBytes(dir.File(name), "user data");
  WriteFileBytes(dir.File(stale), "MAIL_PASSWORD=secret");
  ASSERT_EQ(symlink(dir.File("target").c_str(), dir.File(link).c_str()), 0);
  ASSERT_EQ(mkdir(dir.File(folder).c_str(), 0700), 0);
  // A save still running in another process holds a lock on its copy.
  const int busyFd = open(dir.File(busy).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(busyFd, 0);
  ASSERT_EQ(flock(busyFd, LOCK_EX), 0);

  ZBRegIni store(dir.File("Vardocam.reg"));
  store.WriteInteger("SETTING", "MOVEBORDER", 5);
  ASSERT_TRUE(store.UpdateFile());
  close(busyFd);

  std::set<std::string> expected = kept;
  expected.insert("Vardocam.reg");
  EXPECT_EQ(Entries(dir), expected);
  EXPECT_EQ(ReadFileBytes(dir.File("target")), "user data");
}
