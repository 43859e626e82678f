#include <cstdlib>
#include <string>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/SingleInstance.h"
#include "support/TempDir.h"

namespace {
const char kLockName[] = "_防犯カメラ・ヴァルド";

class RuntimeDir {
public:
  explicit RuntimeDir(const char* value) {
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value)
      setenv("XDG_RUNTIME_DIR", value, 1);
    else
      unsetenv("XDG_RUNTIME_DIR");
  }
  ~RuntimeDir() {
    if (had_)
      setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    else
      unsetenv("XDG_RUNTIME_DIR");
  }

private:
  bool had_ = false;
  std::string old_;
};

// A second process that holds the lock until it is killed.
pid_t StartHolder() {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    SingleInstance instance;
    const char ok = instance.Acquire(kLockName) == SingleInstance::Result::Acquired ? '1' : '0';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  const bool got = read(ready[0], &ok, 1) == 1 && ok == '1';
  close(ready[0]);
  return got ? pid : -1;
}

TEST(SingleInstance, SecondProcessIsRefusedUntilTheFirstEndsEvenByCrash) {
  TempDir dir;
  RuntimeDir runtime(dir.Path().c_str());
  const pid_t holder = StartHolder();
  ASSERT_GT(holder, 0);
  {
    SingleInstance second;
    EXPECT_EQ(second.Acquire(kLockName), SingleInstance::Result::AlreadyRunning);
  }
  kill(holder, SIGKILL);
  int status = 0;
  waitpid(holder, &status, 0);
  SingleInstance third;
  EXPECT_EQ(third.Acquire(kLockName), SingleInstance::Result::Acquired);
  struct stat st {};
  ASSERT_EQ(stat(dir.File(kLockName).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SingleInstance, WithoutRuntimeDirAFolderOfTheUsersOwnUnderTmp) {
  RuntimeDir runtime(nullptr);
  const std::string folder = SingleInstance::LockFolder();
  EXPECT_EQ(folder, "/tmp/vardocam-" + std::to_string(geteuid()));
  struct stat st {};
  ASSERT_EQ(lstat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, geteuid());
}

TEST(SingleInstance, LockFileThatCannotBeMadeIsReportedAsUnavailable) {
  TempDir dir;
  // A folder in place of the lock file: it cannot be opened for writing.
  ASSERT_EQ(mkdir(dir.File("x").c_str(), 0700), 0);
  RuntimeDir runtime(dir.Path().c_str());
  SingleInstance instance;
  EXPECT_EQ(instance.Acquire("x"), SingleInstance::Result::Unavailable);
}
} // namespace
