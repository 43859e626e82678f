#include "capture/ClipPacket.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mathematics.h>
}

namespace {
AVCodecParameters* CopyOf(const AVCodecParameters* from) {
  if (!from) return nullptr;
  AVCodecParameters* copy = avcodec_parameters_alloc();
  if (copy && avcodec_parameters_copy(copy, from) < 0) avcodec_parameters_free(&copy);
  return copy;
}

int64_t ToMs(int64_t time, int num, int den) {
  return av_rescale_q(time, AVRational{num, den}, AVRational{1, 1000});
}
} // namespace

StreamTracks::StreamTracks(const AVCodecParameters* video, int videoNum, int videoDen,
                           const AVCodecParameters* audio, int audioNum, int audioDen)
    : video_(CopyOf(video)), audio_(CopyOf(audio)), videoNum_(videoNum), videoDen_(videoDen),
      audioNum_(audioNum), audioDen_(audioDen) {}

StreamTracks::~StreamTracks() {
  avcodec_parameters_free(&video_);
  avcodec_parameters_free(&audio_);
}

int64_t StreamTracks::VideoMs(int64_t time) const { return ToMs(time, videoNum_, videoDen_); }
int64_t StreamTracks::AudioMs(int64_t time) const { return ToMs(time, audioNum_, audioDen_); }

size_t ClipPacket::Bytes() const {
  if (packet) return static_cast<size_t>(packet->size);
  return jpeg.total() * jpeg.elemSize();
}

bool ClipPacket::Anchor() const {
  if (!packet) return !jpeg.empty();
  return !audio && (packet->flags & AV_PKT_FLAG_KEY) != 0;
}

std::shared_ptr<const AVPacket> SharePacket(const AVPacket* packet) {
  AVPacket* copy = av_packet_clone(packet);
  if (!copy) return nullptr;
  return std::shared_ptr<const AVPacket>(copy, [](const AVPacket* p) {
    AVPacket* owned = const_cast<AVPacket*>(p);
    av_packet_free(&owned);
  });
}
