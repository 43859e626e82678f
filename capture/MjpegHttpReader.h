#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <opencv2/core.hpp>

#include "capture/JpegDecoder.h"
#include "capture/MjpegStream.h"
#include "net/BlockingSocket.h"

// Bytes asked of the socket per read.
constexpr size_t kStreamReadBytes = 64 * 1024;
// Longest wait for one whole picture, however many bytes keep coming: a
// camera that drips or streams without ever finishing a part is dropped.
// As long as an open waits for its first picture.
constexpr uint32_t kPictureTimeoutMs = 5000;

class TWaitCancel;

// Reads a network camera's MJPEG stream over plain HTTP itself and decodes
// each JPEG straight into the frame: one decode, no colour conversion.
// Every wait is bounded: the name lookup, connecting and the response head
// by the open time-out, each later read by the read time-out, and each
// picture, from the open or the last one to its end, by the picture time-out.
class MjpegHttpReader {
public:
  enum class OpenResult {
    Opened,    // a multipart stream of pictures: this reader reads it
    NotMjpeg,  // the server answered with something else: another reader may try
    Failed,    // no connection, no answer in time, or a refusal
  };
  OpenResult Open(const std::string& url, uint32_t openTimeoutMs, uint32_t readTimeoutMs,
                  uint32_t pictureTimeoutMs = kPictureTimeoutMs);
  // Socket waits end at once when cancel is cancelled (not owned): a close
  // from another thread never waits on the network.
  void SetCancel(const TWaitCancel* cancel);

  enum class ReadResult {
    Frame,    // frame holds the next picture
    Skipped,  // a part that was no whole JPEG was left out; read on
    Failed,   // the stream broke, stalled, ended or overran the picture
              // time-out, or the wait was cancelled: reopen
  };
  // Reads up to the next part and decodes it into frame (reused when it has
  // the size and nobody shares it). With `jpeg` given, a picture that
  // decoded is also copied there as it came (one row of bytes of its own).
  ReadResult Read(cv::Mat& frame, cv::Mat* jpeg = nullptr);
  // The size of the last picture left out for being beyond the frame limits.
  cv::Size TooLarge() const { return decoder_.TooLarge(); }

  void Close();
  bool IsOpen() const { return socket_.Socket() >= 0; }

  MjpegHttpReader() = default;
  ~MjpegHttpReader() { Close(); }
  MjpegHttpReader(const MjpegHttpReader&) = delete;
  MjpegHttpReader& operator=(const MjpegHttpReader&) = delete;

private:
  // Waits up to timeoutMs for bytes into readBuffer_; 0 on a stall, the end
  // of the stream or an error.
  size_t Receive(int timeoutMs);
  // Receives and passes the bytes on; false as Receive, or on a bad chunk.
  bool ReceiveMore(int timeoutMs);
  bool Feed(const char* data, size_t size);
  // Appends the payload of received bytes to out; false when a chunked
  // body is malformed or has ended.
  bool Dechunk(const char* data, size_t size, std::string& out);

  TBlockingSocket socket_;
  uint32_t readTimeoutMs_ = 0;
  uint32_t pictureTimeoutMs_ = kPictureTimeoutMs;
  // The picture being waited for, across parts that were skipped.
  bool pictureStarted_ = false;
  TBlockingSocket::Clock::time_point pictureDeadline_;
  const TWaitCancel* cancel_ = nullptr;
  bool chunked_ = false;
  ChunkedDecoder chunks_;
  std::string payload_;  // de-chunked bytes on their way to the splitter
  std::unique_ptr<MultipartSplitter> parts_;
  JpegDecoder decoder_;
  std::unique_ptr<char[]> readBuffer_;
};
