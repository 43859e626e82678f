// The module itself: OpenCV's calls as they are, behind the interfaces
// the program knows.
#include "platform/OpenCvModule.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

namespace {
class VideoReader : public IVideoReader {
public:
  bool Open(const std::string& location, int api, const std::vector<int>& params) override {
    return params.empty() ? capture_.open(location, api) : capture_.open(location, api, params);
  }
  bool IsOpened() const override { return capture_.isOpened(); }
  bool Read(cv::Mat& frame) override { return capture_.read(frame); }
  double Get(int property) const override { return capture_.get(property); }
  bool Set(int property, double value) override { return capture_.set(property, value); }
  void Release() override { capture_.release(); }

private:
  cv::VideoCapture capture_;
};

class PeopleDetector : public IPeopleDetector {
public:
  PeopleDetector() { hog_.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector()); }
  void DetectMultiScale(const cv::Mat& picture, std::vector<cv::Rect>& found, std::vector<double>& weights,
                        double hitThreshold, cv::Size stride, cv::Size padding, double scale,
                        double groupThreshold) override {
    hog_.detectMultiScale(picture, found, weights, hitThreshold, stride, padding, scale, groupThreshold);
  }

private:
  cv::HOGDescriptor hog_;
};

class OpenCvModule : public IOpenCvModule {
public:
  cv::Mat ReadImage(const std::string& path, int flags) override { return cv::imread(path, flags); }
  bool WriteImage(const std::string& path, const cv::Mat& picture) override { return cv::imwrite(path, picture); }
  bool EncodeImage(const std::string& extension, const cv::Mat& picture, std::vector<uchar>& bytes,
                   const std::vector<int>& params) override {
    return cv::imencode(extension, picture, bytes, params);
  }
  std::unique_ptr<IVideoReader> MakeVideoReader() override { return std::make_unique<VideoReader>(); }
  std::unique_ptr<IPeopleDetector> MakePeopleDetector() override { return std::make_unique<PeopleDetector>(); }
};
} // namespace

extern "C" __attribute__((visibility("default"))) IOpenCvModule* VardocamOpenCvModule() {
  static OpenCvModule module;
  return &module;
}
