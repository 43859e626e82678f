#include "platform/OpenCvModule.h"

#include <mutex>
#include <stdexcept>

#include <dlfcn.h>
#include <unistd.h>

#ifndef VARDOCAM_MODULE_FROM_BIN
#define VARDOCAM_MODULE_FROM_BIN "../lib/vardocam"
#endif

const char kOpenCvModuleFile[] = "vardocam-opencv.so";
const char kOpenCvModuleEntry[] = "VardocamOpenCvModule";

namespace {
std::string ProgramFile() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}
} // namespace

std::vector<std::string> OpenCvModulePlaces(const std::string& programFile) {
  const size_t slash = programFile.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : programFile.substr(0, slash);
  return {folder + "/" + kOpenCvModuleFile, folder + "/../" + kOpenCvModuleFile,
          folder + "/" + VARDOCAM_MODULE_FROM_BIN + "/" + kOpenCvModuleFile};
}

IOpenCvModule* LoadOpenCvModule(const std::string& path, std::string* why) {
  // Kept loaded to the end: its objects live as long as the process.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (why) *why = dlerror();
    return nullptr;
  }
  using Entry = IOpenCvModule* (*)();
  const auto entry = reinterpret_cast<Entry>(dlsym(handle, kOpenCvModuleEntry));
  if (!entry) {
    if (why) *why = std::string(kOpenCvModuleEntry) + " がありません";
    dlclose(handle);
    return nullptr;
  }
  return entry();
}

cv::Mat ReadImageFile(const std::string& path, int flags) {
  try {
    return OpenCv().ReadImage(path, flags);
  } catch (const std::exception&) {
    return cv::Mat();
  }
}

bool WriteImageFile(const std::string& path, const cv::Mat& picture) {
  try {
    return OpenCv().WriteImage(path, picture);
  } catch (const std::exception&) {
    return false;
  }
}

bool EncodeImage(const std::string& extension, const cv::Mat& picture, std::vector<uchar>& bytes,
                 const std::vector<int>& params) {
  try {
    return OpenCv().EncodeImage(extension, picture, bytes, params);
  } catch (const std::exception&) {
    return false;
  }
}

IOpenCvModule& OpenCv() {
  static std::mutex mutex;
  static IOpenCvModule* module = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (module) return *module;
  std::string why;
  for (const std::string& place : OpenCvModulePlaces(ProgramFile())) {
    if (access(place.c_str(), F_OK) != 0) continue;
    if ((module = LoadOpenCvModule(place, &why))) return *module;
  }
  throw std::runtime_error(std::string("画像と動画の部品「") + kOpenCvModuleFile +
                           "」を読み込めません。インストールし直してください" + (why.empty() ? "" : " (" + why + ")"));
}
