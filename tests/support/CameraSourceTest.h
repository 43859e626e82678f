#pragma once
#include <string>

#include <gtest/gtest.h>

#include "capture/CameraSource.h"
#include "settings/Vardocamdef.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"
#include "vision/Nsopencv.h"

// A camera source on fake time, so that the settling wait passes at once,
// with short reopen waits; the camera address and the timings are put back
// at the end. A case changes timings_ and calls UseTimings before it opens.
class CameraSourceTest : public ::testing::Test {
protected:
  CameraSourceTest() {
    timings_.reopenFirstDelayMs = 50;
    timings_.reopenMaxDelayMs = 200;
  }
  void SetUp() override { UseTimings(); }
  void TearDown() override {
    vision_.CloseCamera();
    AppSettings.CAMERA_URL = savedUrl_;
    SetCaptureTimings(CaptureTimings());
  }
  void UseTimings() { SetCaptureTimings(timings_); }

  FakeClock clock_;
  TempDir dir_;
  const std::string frameFile_ = dir_.File("result.bmp");
  CaptureTimings timings_;
  const std::string savedUrl_ = AppSettings.CAMERA_URL;
  nsOpenCV vision_{"IMAGE"};
};
