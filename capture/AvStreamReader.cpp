#include "capture/AvStreamReader.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "capture/AvErrorText.h"
#include "capture/CameraAddress.h"
#include "capture/FrameLimits.h"
#include "net/WaitCancel.h"

namespace {
int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

bool IsRtsp(const std::string& url) {
  return strncasecmp(url.c_str(), "rtsp://", 7) == 0 || strncasecmp(url.c_str(), "rtsps://", 8) == 0;
}

// FFmpeg's own messages may quote the address it was given: they go to
// standard error as FFmpeg would print them, with any password as ***.
void LogWithoutPasswords(void* object, int level, const char* format, va_list args) {
  // The scaler's remarks (a pixel format it calls deprecated, a context
  // made anew at a size change) say nothing the user could act on.
  const AVClass* kind = object ? *static_cast<const AVClass* const*>(object) : nullptr;
  if (kind && kind->class_name && std::strcmp(kind->class_name, "SWScaler") == 0 && level > AV_LOG_ERROR)
    level = AV_LOG_DEBUG;
  if (level > av_log_get_level()) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
  std::fputs(TextWithoutPasswords(line).c_str(), stderr);
}

void MaskFfmpegLog() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(LogWithoutPasswords); });
}
} // namespace

int AvStreamReader::Interrupted(void* self) {
  const auto* reader = static_cast<const AvStreamReader*>(self);
  if (reader->cancel_ && reader->cancel_->Cancelled()) return 1;
  return std::chrono::steady_clock::now() >= reader->deadline_ ? 1 : 0;
}

void AvStreamReader::WaitUpTo(uint32_t ms) {
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool AvStreamReader::Open(const std::string& url, bool rtspOverUdp, uint32_t openTimeoutMs,
                          uint32_t readTimeoutMs, std::string* error) {
  Close();
  MaskFfmpegLog();
  readTimeoutMs_ = readTimeoutMs;
  const std::string shown = AddressWithoutPassword(url);
  format_ = avformat_alloc_context();
  if (!format_) {
    SetError(error, "メモリが足りません");
    return false;
  }
  format_->interrupt_callback.callback = &AvStreamReader::Interrupted;
  format_->interrupt_callback.opaque = this;
  format_->probesize = kAvProbeBytes;
  format_->max_analyze_duration = kAvProbeUs;
  AVDictionary* options = nullptr;
  if (IsRtsp(url)) av_dict_set(&options, "rtsp_transport", rtspOverUdp ? "udp" : "tcp", 0);
  WaitUpTo(openTimeoutMs);
  int rc = avformat_open_input(&format_, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) {
    // avformat_open_input frees the context when it fails.
    format_ = nullptr;
    SetError(error, shown + " を開けません: " + AvErrorText(rc));
    return false;
  }
  // RTSP states its codecs in the session description; reading ahead to
  // learn more would only delay the first frame.
  if (!IsRtsp(url) && (rc = avformat_find_stream_info(format_, nullptr)) < 0) {
    SetError(error, shown + " の映像を読み取れません: " + AvErrorText(rc));
    Close();
    return false;
  }
  const AVCodec* codec = nullptr;
  videoIndex_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (videoIndex_ < 0 || !codec) {
    SetError(error, shown + " に復号できる映像がありません");
    Close();
    return false;
  }
  audioIndex_ = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, videoIndex_, nullptr, 0);
  decoder_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  picture_ = av_frame_alloc();
  if (!decoder_ || !packet_ || !picture_ ||
      avcodec_parameters_to_context(decoder_, format_->streams[videoIndex_]->codecpar) < 0) {
    SetError(error, "メモリが足りません");
    Close();
    return false;
  }
  // Slices only: frame threads would hold each picture back a frame per thread.
  decoder_->thread_type = FF_THREAD_SLICE;
  if ((rc = avcodec_open2(decoder_, codec, nullptr)) < 0) {
    SetError(error, shown + " の映像 (" + codec->name + ") を復号できません: " + AvErrorText(rc));
    Close();
    return false;
  }
  return true;
}

void AvStreamReader::Tap(int64_t nowMs) {
  const bool audio = packet_->stream_index == audioIndex_;
  const bool key = !audio && (packet_->flags & AV_PKT_FLAG_KEY);
  // A key frame of another size (the camera was set to another resolution)
  // starts tracks of its own: a clip states one size.
  if (tracks_ && key && decoder_->width > 0 &&
      (decoder_->width != tracks_->Video()->width || decoder_->height != tracks_->Video()->height))
    tracks_.reset();
  if (!tracks_) {
    if (!key || decoder_->width <= 0) return;
    // The clip's header states the size: the decoder knows it from the key frame just sent.
    AVCodecParameters* video = format_->streams[videoIndex_]->codecpar;
    video->width = decoder_->width;
    video->height = decoder_->height;
    const AVStream* v = format_->streams[videoIndex_];
    const AVStream* a = audioIndex_ >= 0 ? format_->streams[audioIndex_] : nullptr;
    tracks_ = std::make_shared<const StreamTracks>(v->codecpar, v->time_base.num, v->time_base.den,
                                                   a ? a->codecpar : nullptr, a ? a->time_base.num : 1,
                                                   a ? a->time_base.den : 1);
  }
  ClipPacket clip;
  clip.timeMs = nowMs;
  clip.packet = SharePacket(packet_);
  clip.tracks = tracks_;
  clip.audio = audio;
  if (clip.packet) sink_(clip);
}

AvStreamReader::ReadResult AvStreamReader::Read(cv::Mat& frame, bool tapPackets) {
  if (!format_) return ReadResult::Failed;
  // The whole picture is bounded, not each packet: a camera that sends
  // audio, or video that never decodes, is dropped all the same.
  WaitUpTo(readTimeoutMs_);
  for (;;) {
    int rc = avcodec_receive_frame(decoder_, picture_);
    if (rc == 0) {
      const bool ok = ToBgr(picture_, frame);
      av_frame_unref(picture_);
      return ok ? ReadResult::Frame : ReadResult::Skipped;
    }
    if (rc != AVERROR(EAGAIN)) return ReadResult::Failed;
    rc = av_read_frame(format_, packet_);
    if (rc < 0) return ReadResult::Failed;
    if (packet_->stream_index == videoIndex_) {
      // A damaged packet is left out; the decoder picks up at the next one.
      rc = avcodec_send_packet(decoder_, packet_);
      if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_INVALIDDATA) {
        av_packet_unref(packet_);
        return ReadResult::Failed;
      }
    }
    if (tapPackets && sink_ && (packet_->stream_index == videoIndex_ || packet_->stream_index == audioIndex_))
      Tap(SteadyNowMs());
    av_packet_unref(packet_);
  }
}

AvStreamReader::ReadResult AvStreamReader::ReadPacket() {
  if (!format_) return ReadResult::Failed;
  WaitUpTo(readTimeoutMs_);
  if (av_read_frame(format_, packet_) < 0) return ReadResult::Failed;
  // Key frames alone are decoded once the size is known, to see it change;
  // what came between them is forgotten first, so nothing is missed.
  const bool key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
  if (packet_->stream_index == videoIndex_ && (!tracks_ || key)) {
    if (tracks_) avcodec_flush_buffers(decoder_);
    if (avcodec_send_packet(decoder_, packet_) >= 0)
      while (avcodec_receive_frame(decoder_, picture_) == 0) av_frame_unref(picture_);
  }
  if (sink_ && (packet_->stream_index == videoIndex_ || packet_->stream_index == audioIndex_))
    Tap(SteadyNowMs());
  av_packet_unref(packet_);
  return ReadResult::Frame;
}

bool AvStreamReader::ToBgr(const AVFrame* picture, cv::Mat& frame) {
  if (!FrameSizeAllowed(picture->width, picture->height)) {
    tooLarge_ = cv::Size(picture->width, picture->height);
    return false;
  }
  scaler_ = sws_getCachedContext(scaler_, picture->width, picture->height,
                                 static_cast<AVPixelFormat>(picture->format), picture->width,
                                 picture->height, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
  if (!scaler_) return false;
  // A buffer someone still holds (a frame handed to the tick) is not reused.
  if (frame.rows != picture->height || frame.cols != picture->width || frame.type() != CV_8UC3 ||
      (frame.u && frame.u->refcount > 1))
    frame.create(picture->height, picture->width, CV_8UC3);
  uint8_t* planes[4] = {frame.data, nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(frame.step[0]), 0, 0, 0};
  sws_scale(scaler_, picture->data, picture->linesize, 0, picture->height, planes, strides);
  lastWidth_ = picture->width;
  lastHeight_ = picture->height;
  return true;
}

StreamDescription AvStreamReader::Describe() const {
  StreamDescription description;
  if (!format_ || videoIndex_ < 0) return description;
  const AVStream* stream = format_->streams[videoIndex_];
  description.codec = avcodec_get_name(stream->codecpar->codec_id);
  description.width = lastWidth_ ? lastWidth_ : stream->codecpar->width;
  description.height = lastHeight_ ? lastHeight_ : stream->codecpar->height;
  const AVRational rate = stream->avg_frame_rate.num ? stream->avg_frame_rate : stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) description.fps = av_q2d(rate);
  return description;
}

std::string StreamDescription::Text() const {
  std::string name = codec == "h264" ? "H.264" : codec == "hevc" ? "H.265" : codec == "mjpeg" ? "MJPEG" : codec;
  std::string text = name + " " + std::to_string(width) + "×" + std::to_string(height);
  if (fps > 0) {
    char rate[32];
    std::snprintf(rate, sizeof rate, " %.4g fps", fps);
    text += rate;
  }
  return text;
}

bool AvStreamReader::Probe(const std::string& url, bool rtspOverUdp, uint32_t openTimeoutMs, uint32_t readTimeoutMs,
                           StreamDescription& description, std::string* error) {
  AvStreamReader reader;
  if (!reader.Open(url, rtspOverUdp, openTimeoutMs, readTimeoutMs, error)) return false;
  cv::Mat frame;
  ReadResult got = ReadResult::Skipped;
  // A camera whose every picture is too large would be read for ever.
  while (got == ReadResult::Skipped && reader.TooLarge().empty()) got = reader.Read(frame);
  if (!reader.TooLarge().empty()) {
    SetError(error, PictureTooLargeText(reader.TooLarge().width, reader.TooLarge().height));
    return false;
  }
  if (got != ReadResult::Frame) {
    SetError(error, AddressWithoutPassword(url) + " から映像が届きません");
    return false;
  }
  description = reader.Describe();
  return true;
}

void AvStreamReader::Close() {
  if (decoder_) avcodec_free_context(&decoder_);
  if (packet_) av_packet_free(&packet_);
  if (picture_) av_frame_free(&picture_);
  if (scaler_) {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
  }
  if (format_) {
    WaitUpTo(kAvCloseTimeoutMs);
    avformat_close_input(&format_);
  }
  videoIndex_ = -1;
  audioIndex_ = -1;
  tracks_.reset();
  lastWidth_ = lastHeight_ = 0;
  tooLarge_ = cv::Size();
}
