#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr char kTemporarySuffix[] = ".tmp";
constexpr char kUniqueTail[] = "XXXXXX";
constexpr mode_t kOwnerOnlyMode = 0600;

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Opens the temporary, its final name in `name`; -1 with errno set.
int OpenTemporary(const std::string& path, const AtomicWrite& how, std::string& name) {
  name = how.temporary.empty() ? path + kTemporarySuffix : how.temporary;
  if (!EndsWith(name, kUniqueTail))
    return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kOwnerOnlyMode);
  std::vector<char> pattern(name.begin(), name.end());
  pattern.push_back('\0');
  // Created exclusively: a link planted under the name is never followed.
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  name = pattern.data();
  // Held until the copy is renamed or removed: it marks the copy as in use.
  if (fd >= 0) ::flock(fd, LOCK_EX | LOCK_NB);
  return fd;
}
} // namespace

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, const AtomicWrite& how,
                         std::string* error) {
  std::string temporary;
  const int fd = OpenTemporary(path, how, temporary);
  if (fd < 0) {
    SetError(error, temporary + " を作れません: " + std::strerror(errno));
    return false;
  }
  int failure = 0;
  if (how.ownerOnly && ::fchmod(fd, kOwnerOnlyMode) != 0) failure = errno;
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  while (!failure && written < size) {
    const ssize_t n = ::write(fd, bytes + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<size_t>(n);
  }
  if (!failure && how.sync && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && !failure) failure = errno;
  if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure) {
    ::unlink(temporary.c_str());
    SetError(error, path + " に書き込めません: " + std::strerror(failure));
    return false;
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, const AtomicWrite& how,
                         std::string* error) {
  return WriteFileAtomically(path, bytes.data(), bytes.size(), how, error);
}
