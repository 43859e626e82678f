#include "platform/PrivateFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t kOwnerOnly = 0600;
constexpr size_t kReadChunkBytes = 64 * 1024;

PrivateFileRead Say(PrivateFileRead result, std::string* why, const std::string& text) {
  if (why) *why = text;
  return result;
}
} // namespace

PrivateFileRead ReadPrivateFile(const std::string& path, size_t maxBytes, std::string& bytes, std::string* why) {
  bytes.clear();
  // O_NOFOLLOW: a planted link is refused rather than read; O_NONBLOCK: a
  // planted pipe cannot hold the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return PrivateFileRead::Missing;
    if (errno == ELOOP) return Say(PrivateFileRead::Refused, why, "リンクは読みません");
    return Say(PrivateFileRead::Failed, why, std::strerror(errno));
  }
  struct stat st {};
  PrivateFileRead result = PrivateFileRead::Read;
  std::string text;
  if (::fstat(fd, &st) != 0) {
    result = PrivateFileRead::Failed, text = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    result = PrivateFileRead::Refused, text = "通常のファイルではありません";
  } else if (st.st_uid != ::geteuid()) {
    result = PrivateFileRead::Refused, text = "他のユーザのファイルです";
  } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    result = PrivateFileRead::Refused, text = "大きすぎます";
  } else if ((st.st_mode & 07777) != kOwnerOnly && ::fchmod(fd, kOwnerOnly) != 0) {
    result = PrivateFileRead::Failed, text = std::strerror(errno);
  }
  // Read to the bound and one byte past it: a file that grew since the
  // fstat is refused as well.
  char chunk[kReadChunkBytes];
  while (result == PrivateFileRead::Read) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result = PrivateFileRead::Failed, text = std::strerror(errno);
    else if (n == 0) break;
    else if (bytes.size() + static_cast<size_t>(n) > maxBytes) result = PrivateFileRead::Refused, text = "大きすぎます";
    else bytes.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  if (result != PrivateFileRead::Read) bytes.clear();
  return Say(result, why, text);
}
