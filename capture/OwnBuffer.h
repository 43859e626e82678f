#pragma once
#include <opencv2/core.hpp>

// Gives `image` one continuous buffer of this size and type that nobody
// else shares, keeping the one it has when it may: frames and the images
// made from them are then written into the previous frame's memory
// instead of a new allocation, and a copy someone still holds is never
// written into. (create() would keep a shared buffer.)
inline void UseOwnBuffer(cv::Mat& image, cv::Size size, int type) {
  if (image.size() == size && image.type() == type && image.isContinuous() &&
      (!image.u || image.u->refcount == 1))
    return;
  image = cv::Mat(size, type);
}
