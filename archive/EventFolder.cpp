#include "archive/EventFolder.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <sys/stat.h>

#include "platform/LocalTime.h"

namespace {
void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string ErrnoText(int code) { return std::strerror(code); }
} // namespace

std::string EventFolderName(int64_t startMs) {
  return LocalTimeText(static_cast<std::time_t>(startMs / 1000), "%Y-%m-%d_%H-%M-%S");
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

void MakeEventFilesPrivate(const std::string& folder) {
  constexpr mode_t kOwnerOnly = 0600;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    struct stat st {};
    const std::string path = it->path().string();
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 07777) != kOwnerOnly)
      ::chmod(path.c_str(), kOwnerOnly);
  }
}
