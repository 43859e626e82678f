#include "platform/AppPaths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VARDOCAM_DATA_FROM_BIN
#define VARDOCAM_DATA_FROM_BIN "../share/vardocam"
#endif

const char* const kInstalledDataFiles[2] = {"start.jpg", "Alarm.wav"};

namespace {
namespace fs = std::filesystem;

constexpr char kAppFolder[] = "vardocam";
constexpr mode_t kPrivateMode = 0700;

std::string SystemText(int code) { return std::strerror(code); }

// XDG base directories count only when absolute.
std::string AbsoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && value[0] == '/' ? value : "";
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string HomeFolder() {
  const std::string home = AbsoluteEnv("HOME");
  if (!home.empty()) return home;
  const passwd* entry = ::getpwuid(::getuid());
  return entry && entry->pw_dir && entry->pw_dir[0] == '/' ? entry->pw_dir : "";
}

// A profile names one folder: no separators, nothing that climbs out.
bool IsFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

// Copies through a temporary name, so that a reader never sees half a file.
bool CopyFile(const std::string& from, const std::string& to, std::string* error) {
  const std::string partial = to + ".part";
  std::error_code failed;
  fs::copy_file(from, partial, fs::copy_options::overwrite_existing, failed);
  if (!failed) fs::rename(partial, to, failed);
  if (failed) {
    *error = "copying " + from + " to " + to + " failed: " + failed.message();
    fs::remove(partial, failed);
    return false;
  }
  return true;
}

std::string ProgramFile() {
  std::error_code failed;
  const fs::path self = fs::read_symlink("/proc/self/exe", failed);
  return failed ? "" : self.string();
}
} // namespace

std::string InstalledDataFolder(const std::string& programFile) {
  if (programFile.empty()) return "";
  const fs::path data =
      (fs::path(programFile).parent_path() / VARDOCAM_DATA_FROM_BIN).lexically_normal();
  return IsFolder(data.string()) ? data.string() : "";
}

std::string PrivateWorkingFolder() {
  const std::string runtime = AbsoluteEnv("XDG_RUNTIME_DIR");
  if (IsFolder(runtime)) return runtime + "/" + kAppFolder;
  std::string cache = AbsoluteEnv("XDG_CACHE_HOME");
  if (cache.empty()) {
    const std::string home = HomeFolder();
    if (home.empty()) return "";
    cache = home + "/.cache";
  }
  return cache + "/" + kAppFolder;
}

bool MakePrivateFolder(const std::string& folder, std::string* error) {
  if (folder.empty() || folder[0] != '/') {
    *error = "no absolute working folder (\"" + folder + "\")";
    return false;
  }
  // Parents first, each made private when it is made here.
  std::string path;
  for (const fs::path& part : fs::path(folder).relative_path()) {
    path += "/" + part.string();
    if (::mkdir(path.c_str(), kPrivateMode) != 0 && errno != EEXIST) {
      *error = "making " + path + " failed: " + SystemText(errno);
      return false;
    }
  }
  // An existing folder may have been made by someone else or with a wider
  // mode; a link could lead the frames anywhere.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    *error = "checking " + folder + " failed: " + SystemText(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = folder + " is not a folder";
    return false;
  }
  if (st.st_uid != ::getuid()) {
    *error = folder + " belongs to another user";
    return false;
  }
  if ((st.st_mode & 07777) != kPrivateMode && ::chmod(folder.c_str(), kPrivateMode) != 0) {
    *error = "making " + folder + " private failed: " + SystemText(errno);
    return false;
  }
  return true;
}

bool EnterWorkingFolderOf(const std::string& programFile, const std::string& profile,
                          std::string* error) {
  if (!profile.empty() && !IsFolderName(profile)) {
    *error = "the profile name \"" + profile + "\" is not a folder name";
    return false;
  }
  std::string data = InstalledDataFolder(programFile);
  std::string folder;
  if (!data.empty()) {
    folder = PrivateWorkingFolder();
    if (folder.empty()) {
      *error = "neither XDG_RUNTIME_DIR nor a home folder gives a working folder";
      return false;
    }
  } else {
    // From a build tree the launcher has already entered the folder.
    if (profile.empty()) return true;
    std::error_code failed;
    data = fs::current_path(failed).string();
    if (failed) {
      *error = "reading the current folder failed: " + failed.message();
      return false;
    }
    folder = data;
  }
  if (!profile.empty()) folder += "/" + profile;
  if (!MakePrivateFolder(folder, error)) return false;
  // Fresh copies each start: an upgraded package brings new pictures.
  for (const char* name : kInstalledDataFiles) {
    const std::string from = data + "/" + name;
    if (::access(from.c_str(), R_OK) != 0) continue;  // the program runs without it
    if (!CopyFile(from, folder + "/" + name, error)) return false;
  }
  if (::chdir(folder.c_str()) != 0) {
    *error = "entering " + folder + " failed: " + SystemText(errno);
    return false;
  }
  return true;
}

bool EnterWorkingFolder(const std::string& profile, std::string* error) {
  return EnterWorkingFolderOf(ProgramFile(), profile, error);
}

std::string ProfileDataFolder(const std::string& kind, const std::string& profile) {
  std::string data;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
    data = xdg;
  else if (const char* home = std::getenv("HOME"); home && home[0])
    data = std::string(home) + "/.local/share";
  else
    return "";
  return data + "/vardocam/" + kind + "/" + (profile.empty() ? "default" : profile);
}
