#include "archive/ClipWriter.h"

#include <ctime>

#include <turbojpeg.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace {
std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

// "2026-12-07T13:20:05.000000Z", as the container's creation time reads.
std::string IsoTime(int64_t epochMs) {
  const std::time_t seconds = static_cast<std::time_t>(epochMs / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return std::string(text, n) + "." + std::to_string(1000000 + (epochMs % 1000) * 1000).substr(1) + "Z";
}
} // namespace

bool JpegSize(const uint8_t* data, size_t size, int& width, int& height) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return false;
  int subsampling = 0, colourspace = 0;
  const bool ok = tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &width, &height,
                                      &subsampling, &colourspace) == 0 ||
                  tjGetErrorCode(handle) == TJERR_WARNING;
  tjDestroy(handle);
  return ok && width > 0 && height > 0;
}

ClipWriter::~ClipWriter() { Close(); }

bool ClipWriter::Open(const std::string& path, int width, int height, int64_t creationMs,
                      std::string* error) {
  Close();
  AVFormatContext* context = nullptr;
  int rc = avformat_alloc_output_context2(&context, nullptr, "matroska", nullptr);
  if (rc < 0 || !context) {
    SetError(error, "Matroska の書き出しを用意できません: " + AvError(rc));
    return false;
  }
  context_ = context;
  AVStream* stream = avformat_new_stream(context_, nullptr);
  packet_ = av_packet_alloc();
  if (!stream || !packet_) {
    SetError(error, "メモリが足りません");
    Abandon();
    return false;
  }
  stream->time_base = AVRational{1, 1000};
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->codec_id = AV_CODEC_ID_MJPEG;
  stream->codecpar->width = width;
  stream->codecpar->height = height;
  av_dict_set(&context_->metadata, "creation_time", IsoTime(creationMs).c_str(), 0);
  av_dict_set(&context_->metadata, "encoder", "vardocam", 0);

  // "file:" so that a folder name with a colon is never taken for a protocol.
  // Buffered, not AVIO_FLAG_DIRECT: unbuffered, the muxer's writes into a
  // seekable file fail with EIO once a cluster grows past a few hundred KB
  // (1080p camera frames), which ended every such clip early.
  rc = avio_open(&context_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    SetError(error, path + " を作れません: " + AvError(rc));
    Abandon();
    return false;
  }
  // Flushed a cluster at a time (Write), not after every packet.
  context_->flush_packets = 0;
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "cluster_time_limit", kClipClusterMs, 0);
  av_dict_set_int(&options, "cluster_size_limit", kClipClusterBytes, 0);
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    SetError(error, path + " に書き込めません: " + AvError(rc));
    Abandon();
    return false;
  }
  firstTimeMs_ = 0;
  lastPts_ = -1;
  flushedPts_ = 0;
  frames_ = 0;
  bytes_ = 0;
  return true;
}

bool ClipWriter::Write(const uint8_t* data, size_t size, int64_t timeMs, std::string* error) {
  if (!context_) {
    SetError(error, "動画ファイルが開いていません");
    return false;
  }
  if (frames_ == 0) firstTimeMs_ = timeMs;
  int64_t pts = timeMs - firstTimeMs_;
  // Matroska needs times that go forward; a frame that came at the same
  // millisecond (or a clock step back) goes 1 ms after the one before.
  if (pts <= lastPts_) pts = lastPts_ + 1;
  // The packet borrows the caller's bytes: the muxer copies what it keeps.
  av_packet_unref(packet_);
  packet_->data = const_cast<uint8_t*>(data);
  packet_->size = static_cast<int>(size);
  packet_->stream_index = 0;
  packet_->pts = packet_->dts = pts;
  packet_->duration = lastPts_ >= 0 ? pts - lastPts_ : 0;
  packet_->flags = AV_PKT_FLAG_KEY;
  int rc = av_write_frame(context_, packet_);
  // Closes the cluster and flushes it, so that what is in the file can be
  // read back whole should the program end here.
  if (rc >= 0 && pts - flushedPts_ >= kClipClusterMs) {
    rc = av_write_frame(context_, nullptr);
    // The muxer hands the cluster to the buffer only; this puts it in the file.
    avio_flush(context_->pb);
    flushedPts_ = pts;
  }
  packet_->data = nullptr;
  packet_->size = 0;
  if (rc < 0 || context_->pb->error < 0) {
    SetError(error, "動画に書き込めません: " + AvError(rc < 0 ? rc : context_->pb->error));
    Abandon();
    return false;
  }
  lastPts_ = pts;
  ++frames_;
  bytes_ += static_cast<int64_t>(size);
  return true;
}

bool ClipWriter::Close() {
  if (!context_) return false;
  const bool whole = av_write_trailer(context_) >= 0 && context_->pb->error >= 0;
  Abandon();
  return whole;
}

void ClipWriter::Abandon() {
  if (packet_) av_packet_free(&packet_);
  if (context_) {
    if (context_->pb) avio_closep(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
  }
}
