#pragma once
#include <cstdint>
#include <string>
#include <vector>

// True when a V4L2 node with these capabilities (VIDIOC_QUERYCAP) delivers
// pictures: the node's own capabilities count, not the whole device's, so
// the metadata node beside a camera is not taken for a second camera.
bool IsVideoCaptureNode(uint32_t capabilities, uint32_t deviceCaps);

// The video-capture nodes /dev/videoN of this machine in node-number order;
// camera number n is element n.
std::vector<std::string> ListVideoCaptureNodes(const std::string& devDir = "/dev");
