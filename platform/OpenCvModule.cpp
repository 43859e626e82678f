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
    const char* text = dlerror();
    if (why) *why = text ? text : path;
    return nullptr;
  }
  using Entry = IOpenCvModule* (*)();
  const auto entry = reinterpret_cast<Entry>(dlsym(handle, kOpenCvModuleEntry));
  if (!entry) {
    if (why) *why = path + ": " + kOpenCvModuleEntry + " がありません";
    dlclose(handle);
    return nullptr;
  }
  return entry();
}

namespace {
// What OpenCv() holds, under one lock: the module found, the places a test
// set, and why the last search failed.
struct ModuleState {
  std::mutex mutex;
  IOpenCvModule* module = nullptr;
  std::vector<std::string> places;
  std::string error;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

void SetWhy(std::string* why, const std::string& text) {
  if (why) *why = text;
}
} // namespace

std::string OpenCvModuleMissingText(const std::string& reason) {
  return std::string("画像処理モジュール（") + kOpenCvModuleFile + "）を読み込めません: " + reason +
         "。インストールを確認してください。";
}

std::string OpenCvModuleError() {
  ModuleState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.error;
}

void SetOpenCvModulePlaces(std::vector<std::string> places) {
  ModuleState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.places = std::move(places);
  // Kept loaded: its objects may still be in use; only the search is redone.
  state.module = nullptr;
  state.error.clear();
}

cv::Mat ReadImageFile(const std::string& path, int flags, std::string* why) {
  try {
    return OpenCv().ReadImage(path, flags);
  } catch (const std::exception& e) {
    SetWhy(why, e.what());
    return cv::Mat();
  }
}

bool WriteImageFile(const std::string& path, const cv::Mat& picture, std::string* why) {
  try {
    return OpenCv().WriteImage(path, picture);
  } catch (const std::exception& e) {
    SetWhy(why, e.what());
    return false;
  }
}

bool EncodeImage(const std::string& extension, const cv::Mat& picture, std::vector<uchar>& bytes,
                 const std::vector<int>& params, std::string* why) {
  try {
    return OpenCv().EncodeImage(extension, picture, bytes, params);
  } catch (const std::exception& e) {
    SetWhy(why, e.what());
    return false;
  }
}

IOpenCvModule& OpenCv() {
  ModuleState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.module) return *state.module;
  const std::vector<std::string> places = state.places.empty() ? OpenCvModulePlaces(ProgramFile()) : state.places;
  std::string reason;
  for (const std::string& place : places) {
    // The loader's own text names the place and says what was wrong there.
    std::string why;
    if ((state.module = LoadOpenCvModule(place, &why))) {
      state.error.clear();
      return *state.module;
    }
    reason += (reason.empty() ? "" : "、") + why;
  }
  state.error = OpenCvModuleMissingText(reason.empty() ? std::string("探す場所がありません") : reason);
  throw std::runtime_error(state.error);
}
