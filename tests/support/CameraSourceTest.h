#pragma once
#include <string>

#include <gtest/gtest.h>

#include "capture/CameraSource.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"
#include "vision/Nsopencv.h"

// A camera source on fake time, so that the settling wait passes at once,
// with short reopen waits; the timings are put back at the end. A case
// changes timings_ and calls UseTimings before it opens, and opens url_.
class CameraSourceTest : public ::testing::Test {
protected:
  CameraSourceTest() {
    timings_.reopenFirstDelayMs = 50;
    timings_.reopenMaxDelayMs = 200;
  }
  void SetUp() override { UseTimings(); }
  void TearDown() override {
    vision_.CloseCamera();
    SetCaptureTimings(CaptureTimings());
  }
  void UseTimings() { SetCaptureTimings(timings_); }

  FakeClock clock_;
  TempDir dir_;
  const std::string frameFile_ = dir_.File("result.bmp");
  CaptureTimings timings_;
  std::string url_;  // the stream address the case opens; empty: the camera number
  nsOpenCV vision_{"IMAGE"};
};
