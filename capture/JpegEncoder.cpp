#include "capture/JpegEncoder.h"

#include <cstring>

#include <turbojpeg.h>

JpegEncoder::JpegEncoder(int quality) : handle_(tjInitCompress()), quality_(quality) {}

JpegEncoder::~JpegEncoder() {
  if (buffer_) tjFree(buffer_);
  if (handle_) tjDestroy(handle_);
}

bool JpegEncoder::Encode(const cv::Mat& frame, cv::Mat& out) {
  if (!handle_ || frame.empty() || frame.type() != CV_8UC3) return false;
  // A working buffer of the worst case for this size, kept between frames.
  const unsigned long worst = tjBufSize(frame.cols, frame.rows, TJSAMP_420);
  if (worst == static_cast<unsigned long>(-1)) return false;
  if (worst > bufferSize_) {
    if (buffer_) tjFree(buffer_);
    buffer_ = tjAlloc(static_cast<int>(worst));
    bufferSize_ = buffer_ ? worst : 0;
    if (!buffer_) return false;
  }
  unsigned long size = bufferSize_;
  if (tjCompress2(handle_, frame.data, frame.cols, static_cast<int>(frame.step[0]), frame.rows,
                  TJPF_BGR, &buffer_, &size, TJSAMP_420, quality_,
                  TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0)
    return false;
  // A copy sized to the data: whoever keeps the JPEG should not hold the
  // worst-case buffer.
  cv::Mat jpeg(1, static_cast<int>(size), CV_8UC1);
  std::memcpy(jpeg.data, buffer_, size);
  out = jpeg;
  return true;
}
