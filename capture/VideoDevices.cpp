#include "capture/VideoDevices.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
constexpr char kNodePrefix[] = "video";

// The N of "videoN", or -1 for any other name.
long NodeNumber(const char* name) {
  const size_t prefix = sizeof(kNodePrefix) - 1;
  if (std::strncmp(name, kNodePrefix, prefix) != 0 || name[prefix] == '\0') return -1;
  char* end = nullptr;
  const long number = std::strtol(name + prefix, &end, 10);
  return (*end == '\0' && number >= 0) ? number : -1;
}

bool NodeCapturesVideo(const std::string& path) {
  // Non-blocking: asking a node what it is must not wait for the device.
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  v4l2_capability caps{};
  const bool ok = ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0;
  close(fd);
  return ok && IsVideoCaptureNode(caps.capabilities, caps.device_caps);
}
} // namespace

bool IsVideoCaptureNode(uint32_t capabilities, uint32_t deviceCaps) {
  const uint32_t own = (capabilities & V4L2_CAP_DEVICE_CAPS) ? deviceCaps : capabilities;
  return (own & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

std::vector<std::string> ListVideoCaptureNodes(const std::string& devDir) {
  std::vector<std::pair<long, std::string>> nodes;
  if (DIR* dir = opendir(devDir.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const long number = NodeNumber(entry->d_name);
      if (number >= 0) nodes.emplace_back(number, devDir + "/" + entry->d_name);
    }
    closedir(dir);
  }
  std::sort(nodes.begin(), nodes.end());
  std::vector<std::string> cameras;
  for (const auto& node : nodes)
    if (NodeCapturesVideo(node.second)) cameras.push_back(node.second);
  return cameras;
}
