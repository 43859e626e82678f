#include "platform/SingleInstance.h"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool IsOwnFolder(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}
} // namespace

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) close(fd_);
}

std::string SingleInstance::LockNameFor(const std::string& base, const std::string& profile) {
  return profile.empty() ? base : base + "@" + profile;
}

std::string SingleInstance::LockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) {
    struct stat st {};
    if (stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) return runtime;
  }
  const std::string folder = "/tmp/vardocam-" + std::to_string(geteuid());
  mkdir(folder.c_str(), 0700);
  // A folder someone else made there (or a link to one) is not ours to trust.
  return IsOwnFolder(folder) ? folder : std::string();
}

SingleInstance::Result SingleInstance::Acquire(const std::string& name) {
  if (fd_ >= 0) return Result::Acquired;
  const std::string folder = LockFolder();
  if (folder.empty()) return Result::Unavailable;
  const std::string path = folder + "/" + name;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Result::Unavailable;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? Result::AlreadyRunning : Result::Unavailable;
  }
  fd_ = fd;
  return Result::Acquired;
}
