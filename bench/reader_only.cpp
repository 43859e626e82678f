// The baseline for the whole-process monitoring figures: opens the same
// source the program would (CAMERA_URL) through the capture and only lets
// its reader decode frames, with no monitoring tick at all. The measuring
// script reads this process's CPU time and peak memory from /proc.
//   reader_only URL SECONDS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "settings/Vardocamdef.h"
#include "vision/Nsopencv.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s URL SECONDS\n", argv[0]);
    return 2;
  }
  AppSettings.CAMERA_URL = argv[1];
  const int seconds = std::atoi(argv[2]);
  nsOpenCV vision("IMAGE");
  if (!vision.OpenCamera(AppSettings.CAMERANUMBER, AppSettings.CAMERA_URL)) {
    std::fprintf(stderr, "reader_only: %s did not open\n", argv[1]);
    return 1;
  }
  std::printf("open\n");
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  vision.CloseCamera();
  return 0;
}
