#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "capture/AvStreamReader.h"
#include "capture/CaptureTimings.h"
#include "net/WaitCancel.h"

// A camera's main stream kept for the event clips alone, while a smaller
// stream of the same camera is watched: its packets are read on a thread
// of their own and handed to the sink as they came, nothing decoded past
// the first key frame. Reopened after a drop as the watched stream is;
// Stop (or the destructor) ends every wait at once and joins.
class PacketFeed {
public:
  PacketFeed(std::string address, bool rtspOverUdp, const CaptureTimings& timings,
             std::function<void(const ClipPacket&)> sink);
  ~PacketFeed() { Stop(); }
  PacketFeed(const PacketFeed&) = delete;
  PacketFeed& operator=(const PacketFeed&) = delete;

  void Stop();
  // What the stream turned out to be once open (empty codec before).
  StreamDescription Describe() const;

private:
  void Run();
  bool WaitOrStop(uint32_t ms);

  const std::string address_;
  const bool rtspOverUdp_;
  const CaptureTimings timings_;
  AvStreamReader reader_;
  TWaitCancel cancel_;
  mutable std::mutex mutex_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  StreamDescription description_;  // under mutex_
  std::thread thread_;
};
