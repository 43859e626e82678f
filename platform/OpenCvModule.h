#pragma once
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// OpenCV's image files, video reading and people detector come from a
// module of this program loaded at their first use, not at start: their
// libraries (and what Debian builds them with, GDAL among it) are a third
// of the program's resident size, and a monitor of an MJPEG camera that
// sends no mail never needs them.

// cv::VideoCapture's calls that the capture uses.
class IVideoReader {
public:
  virtual ~IVideoReader() = default;
  virtual bool Open(const std::string& location, int api, const std::vector<int>& params) = 0;
  virtual bool IsOpened() const = 0;
  virtual bool Read(cv::Mat& frame) = 0;
  virtual double Get(int property) const = 0;
  virtual bool Set(int property, double value) = 0;
  virtual void Release() = 0;
};

// cv::HOGDescriptor with OpenCV's own people detector.
class IPeopleDetector {
public:
  virtual ~IPeopleDetector() = default;
  virtual void DetectMultiScale(const cv::Mat& picture, std::vector<cv::Rect>& found,
                                std::vector<double>& weights, double hitThreshold, cv::Size stride,
                                cv::Size padding, double scale, double groupThreshold) = 0;
};

class IOpenCvModule {
public:
  virtual ~IOpenCvModule() = default;
  virtual cv::Mat ReadImage(const std::string& path, int flags) = 0;
  virtual bool WriteImage(const std::string& path, const cv::Mat& picture) = 0;
  virtual bool EncodeImage(const std::string& extension, const cv::Mat& picture, std::vector<uchar>& bytes,
                           const std::vector<int>& params) = 0;
  virtual std::unique_ptr<IVideoReader> MakeVideoReader() = 0;
  virtual std::unique_ptr<IPeopleDetector> MakePeopleDetector() = 0;
};

// The module's file name, and the function it exports that gives its one
// object.
extern const char kOpenCvModuleFile[];
extern const char kOpenCvModuleEntry[];

// The module, loaded on the first call from beside the program (its build
// folder, or the folder above a test's) or from where an install puts it.
// Throws std::runtime_error with OpenCvModuleMissingText when it cannot be
// loaded; later calls try again.
IOpenCvModule& OpenCv();

// Why the last load of the module failed, as OpenCvModuleMissingText words
// it (each place tried, and the loader's own text); empty once it is loaded
// or before it was first needed.
std::string OpenCvModuleError();
// What a user reads when the module cannot be loaded for `reason`.
std::string OpenCvModuleMissingText(const std::string& reason);

// cv::imread, cv::imwrite and cv::imencode through the module: an empty
// picture or false when the module or OpenCV fails, nothing thrown; `why`
// then says so when the module is missing or OpenCV raised an error.
cv::Mat ReadImageFile(const std::string& path, int flags, std::string* why = nullptr);
bool WriteImageFile(const std::string& path, const cv::Mat& picture, std::string* why = nullptr);
bool EncodeImage(const std::string& extension, const cv::Mat& picture, std::vector<uchar>& bytes,
                 const std::vector<int>& params = {}, std::string* why = nullptr);

// Loads the module from `path` (tests); nullptr and why when it cannot be.
IOpenCvModule* LoadOpenCvModule(const std::string& path, std::string* why);

// The places searched for the module of the program at `programFile`, in order.
std::vector<std::string> OpenCvModulePlaces(const std::string& programFile);

// Tests: OpenCv() searches `places` instead (empty: the program's own) and
// looks again at its next call, a module already found or not.
void SetOpenCvModulePlaces(std::vector<std::string> places);
