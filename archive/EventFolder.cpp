#include "archive/EventFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string ErrnoText(int code) { return std::strerror(code); }
} // namespace

std::string EventFolderName(int64_t startMs) {
  const std::time_t seconds = static_cast<std::time_t>(startMs / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &local);
  return std::string(text, n);
}

bool CreateEventFolder(const std::string& root, int64_t startMs, std::string& folder,
                       std::string* error) {
  std::error_code fsError;
  std::filesystem::create_directories(root, fsError);
  if (fsError) {
    SetError(error, root + " を作れません: " + fsError.message());
    return false;
  }
  const std::string base = root + "/" + EventFolderName(startMs);
  for (int n = 1; n <= kMaxSameSecondEvents; ++n) {
    const std::string path = n == 1 ? base : base + "_" + std::to_string(n);
    if (::mkdir(path.c_str(), 0700) == 0) {
      folder = path;
      return true;
    }
    if (errno != EEXIST) {
      SetError(error, path + " を作れません: " + ErrnoText(errno));
      return false;
    }
  }
  SetError(error, base + " と同じ秒のフォルダが多すぎます");
  return false;
}

std::string EventMarkerText(const EventInfo& event, bool ended) {
  std::string text = std::string(kEventMarkerLine) + "\n";
  text += "start_ms=" + std::to_string(event.startMs) + "\n";
  if (ended) text += "end_ms=" + std::to_string(event.endMs) + "\n";
  text += std::string("person=") + (event.person ? "1" : "0") + "\n";
  if (ended) text += "frames=" + std::to_string(event.frames) + "\n";
  return text;
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, bool sync,
                         std::string* error) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    SetError(error, temporary + " を作れません: " + ErrnoText(errno));
    return false;
  }
  const char* bytes = static_cast<const char*>(data);
  size_t written = 0;
  int failure = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, bytes + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure = n < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<size_t>(n);
  }
  if (!failure && sync && ::fsync(fd) != 0) failure = errno;
  if (::close(fd) != 0 && !failure) failure = errno;
  if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
  if (failure) {
    ::unlink(temporary.c_str());
    SetError(error, path + " に書き込めません: " + ErrnoText(failure));
    return false;
  }
  return true;
}
