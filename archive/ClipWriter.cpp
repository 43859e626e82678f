#include "archive/ClipWriter.h"

#include <algorithm>
#include <ctime>

#include <turbojpeg.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "capture/AvErrorText.h"

namespace {
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

bool ClipFrameSize(const ClipFrame& frame, int& width, int& height) {
  if (!frame.packet) return !frame.jpeg.empty() && JpegSize(frame.jpeg.ptr<uint8_t>(), frame.Bytes(), width, height);
  if (frame.audio || !frame.tracks || !frame.tracks->Video()) return false;
  width = frame.tracks->Video()->width;
  height = frame.tracks->Video()->height;
  return width > 0 && height > 0;
}

ClipWriter::~ClipWriter() { Close(); }

bool ClipWriter::Start(std::string* error) {
  Close();
  AVFormatContext* context = nullptr;
  const int rc = avformat_alloc_output_context2(&context, nullptr, "matroska", nullptr);
  if (rc < 0 || !context) {
    SetError(error, "Matroska の書き出しを用意できません: " + AvErrorText(rc));
    return false;
  }
  context_ = context;
  packet_ = av_packet_alloc();
  if (!packet_) {
    SetError(error, "メモリが足りません");
    Abandon();
    return false;
  }
  firstTimeMs_ = 0;
  width_ = height_ = 0;
  lastPts_ = -1;
  flushedPts_ = 0;
  frames_ = 0;
  bytes_ = 0;
  tracks_.reset();
  audioIndex_ = -1;
  lastAudioPts_ = -1;
  droppedAudio_.clear();
  return true;
}

bool ClipWriter::Open(const std::string& path, int width, int height, int64_t creationMs,
                      std::string* error) {
  if (!Start(error)) return false;
  AVStream* stream = avformat_new_stream(context_, nullptr);
  if (!stream) {
    SetError(error, "メモリが足りません");
    Abandon();
    return false;
  }
  stream->time_base = AVRational{1, 1000};
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->codec_id = AV_CODEC_ID_MJPEG;
  stream->codecpar->width = width;
  stream->codecpar->height = height;
  width_ = width;
  height_ = height;
  return Finish(path, creationMs, error);
}

bool ClipWriter::Open(const std::string& path, std::shared_ptr<const StreamTracks> tracks, int64_t creationMs,
                      std::string* error) {
  if (!tracks || !tracks->Video()) {
    SetError(error, "カメラの映像の形式がわかりません");
    return false;
  }
  if (!Start(error)) return false;
  AVStream* video = avformat_new_stream(context_, nullptr);
  AVStream* audio = nullptr;
  const AVCodecParameters* sound = tracks->Audio();
  if (sound && sound->codec_id == AV_CODEC_ID_AAC) {
    audio = avformat_new_stream(context_, nullptr);
    audioIndex_ = 1;
  } else if (sound) {
    droppedAudio_ = avcodec_get_name(sound->codec_id);
  }
  if (!video || (audioIndex_ >= 0 && !audio) || avcodec_parameters_copy(video->codecpar, tracks->Video()) < 0 ||
      (audio && avcodec_parameters_copy(audio->codecpar, sound) < 0)) {
    SetError(error, "メモリが足りません");
    Abandon();
    return false;
  }
  // The container's own tag follows from the codec; the camera's would not fit it.
  video->codecpar->codec_tag = 0;
  video->time_base = AVRational{1, 1000};
  if (audio) {
    audio->codecpar->codec_tag = 0;
    audio->time_base = AVRational{1, 1000};
  }
  width_ = video->codecpar->width;
  height_ = video->codecpar->height;
  tracks_ = std::move(tracks);
  return Finish(path, creationMs, error);
}

bool ClipWriter::Finish(const std::string& path, int64_t creationMs, std::string* error) {
  av_dict_set(&context_->metadata, "creation_time", IsoTime(creationMs).c_str(), 0);
  av_dict_set(&context_->metadata, "encoder", "vardocam", 0);
  // "file:" so that a folder name with a colon is never taken for a protocol.
  // Buffered, not AVIO_FLAG_DIRECT: unbuffered, the muxer's writes into a
  // seekable file fail with EIO once a cluster grows past a few hundred KB
  // (1080p camera frames), which ended every such clip early.
  int rc = avio_open(&context_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) {
    SetError(error, path + " を作れません: " + AvErrorText(rc));
    Abandon();
    return false;
  }
  // Flushed a cluster at a time (Put), not after every packet.
  context_->flush_packets = 0;
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "cluster_time_limit", kClipClusterMs, 0);
  av_dict_set_int(&options, "cluster_size_limit", kClipClusterBytes, 0);
  rc = avformat_write_header(context_, &options);
  av_dict_free(&options);
  if (rc < 0) {
    SetError(error, path + " に書き込めません: " + AvErrorText(rc));
    Abandon();
    return false;
  }
  return true;
}

bool ClipWriter::Put(int index, int64_t pts, int64_t duration, bool key, std::string* error) {
  packet_->stream_index = index;
  packet_->pts = packet_->dts = pts;
  packet_->duration = duration;
  packet_->flags = key ? AV_PKT_FLAG_KEY : 0;
  packet_->pos = -1;
  const int size = packet_->size;
  int rc = av_write_frame(context_, packet_);
  // Closes the cluster and flushes it, so that what is in the file can be
  // read back whole should the program end here.
  if (rc >= 0 && index == 0 && pts - flushedPts_ >= kClipClusterMs) {
    rc = av_write_frame(context_, nullptr);
    // The muxer hands the cluster to the buffer only; this puts it in the file.
    avio_flush(context_->pb);
    flushedPts_ = pts;
  }
  av_packet_unref(packet_);
  if (rc < 0 || context_->pb->error < 0) {
    SetError(error, "動画に書き込めません: " + AvErrorText(rc < 0 ? rc : context_->pb->error));
    Abandon();
    return false;
  }
  bytes_ += size;
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
  if (!Put(0, pts, lastPts_ >= 0 ? pts - lastPts_ : 0, true, error)) return false;
  lastPts_ = pts;
  ++frames_;
  return true;
}

bool ClipWriter::Write(const ClipPacket& clip, std::string* error) {
  if (!clip.packet) {
    if (clip.jpeg.empty()) return true;
    return Write(clip.jpeg.ptr<uint8_t>(), clip.Bytes(), clip.timeMs, error);
  }
  if (!context_ || !tracks_) {
    SetError(error, "動画ファイルが開いていません");
    return false;
  }
  const AVPacket& in = *clip.packet;
  const bool audio = clip.audio;
  if (clip.tracks != tracks_) {
    // The camera was opened again: its times start afresh, so its first
    // key frame follows the last packet by the time that passed between them.
    if (!clip.Anchor()) return true;
    if (clip.tracks->Video()->codec_id != tracks_->Video()->codec_id) {
      SetError(error, "カメラの映像の形式が変わりました");
      Abandon();
      return false;
    }
    openClipMs_ = frames_ ? lastPts_ + std::max<int64_t>(1, clip.timeMs - lastArrivalMs_) : 0;
    openBaseMs_ = clip.tracks->VideoMs(in.pts != AV_NOPTS_VALUE ? in.pts : in.dts);
    tracks_ = clip.tracks;
  } else if (frames_ == 0) {
    if (audio || !clip.Anchor()) return true;
    openClipMs_ = 0;
    openBaseMs_ = tracks_->VideoMs(in.pts != AV_NOPTS_VALUE ? in.pts : in.dts);
  }
  if (audio && audioIndex_ < 0) return true;
  const int64_t stamp = in.pts != AV_NOPTS_VALUE ? in.pts : in.dts;
  if (stamp == AV_NOPTS_VALUE) return true;
  const int64_t ms = (audio ? tracks_->AudioMs(stamp) : tracks_->VideoMs(stamp)) - openBaseMs_ + openClipMs_;
  int64_t& last = audio ? lastAudioPts_ : lastPts_;
  // Sound from before the clip's first picture is left out; times go forward.
  if (audio && ms < 0) return true;
  const int64_t pts = ms <= last ? last + 1 : ms;
  const int64_t duration = audio ? tracks_->AudioMs(in.duration) : tracks_->VideoMs(in.duration);
  av_packet_unref(packet_);
  if (av_packet_ref(packet_, &in) < 0) {
    SetError(error, "メモリが足りません");
    Abandon();
    return false;
  }
  if (!Put(audio ? audioIndex_ : 0, pts, std::max<int64_t>(duration, 0), clip.Anchor() || audio, error))
    return false;
  last = pts;
  lastArrivalMs_ = clip.timeMs;
  if (!audio) ++frames_;
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
  tracks_.reset();
}
