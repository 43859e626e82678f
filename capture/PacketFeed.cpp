#include "capture/PacketFeed.h"

#include <chrono>

PacketFeed::PacketFeed(std::string address, bool rtspOverUdp, const CaptureTimings& timings,
                       std::function<void(const ClipPacket&)> sink)
    : address_(std::move(address)), rtspOverUdp_(rtspOverUdp), timings_(timings) {
  reader_.SetCancel(&cancel_);
  reader_.SetPacketSink(std::move(sink));
  thread_ = std::thread(&PacketFeed::Run, this);
}

void PacketFeed::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cancel_.Cancel();
  stopSignal_.notify_all();
  if (thread_.joinable()) thread_.join();
}

StreamDescription PacketFeed::Describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return description_;
}

bool PacketFeed::WaitOrStop(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stopSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void PacketFeed::Run() {
  uint32_t reopenDelayMs = timings_.reopenFirstDelayMs;
  for (;;) {
    if (WaitOrStop(0)) break;
    if (!reader_.IsOpen()) {
      if (!reader_.Open(address_, rtspOverUdp_, timings_.streamOpenTimeoutMs, timings_.streamReadTimeoutMs)) {
        if (WaitOrStop(reopenDelayMs)) break;
        reopenDelayMs = NextReopenDelay(reopenDelayMs, timings_);
        continue;
      }
      reopenDelayMs = timings_.reopenFirstDelayMs;
    }
    if (reader_.ReadPacket() == AvStreamReader::ReadResult::Failed) {
      reader_.Close();
      if (WaitOrStop(reopenDelayMs)) break;
      reopenDelayMs = NextReopenDelay(reopenDelayMs, timings_);
      continue;
    }
    const StreamDescription now = reader_.Describe();
    std::lock_guard<std::mutex> lock(mutex_);
    if (now.width != description_.width || now.codec != description_.codec) description_ = now;
  }
  reader_.Close();
}
