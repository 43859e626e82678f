#include "archive/ContactSheet.h"

#include <algorithm>
#include <ctime>
#include <sys/stat.h>

#include <opencv2/imgcodecs.hpp>  // its constants only
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>  // its constants only

#include "platform/LocalTime.h"
#include "platform/OpenCvModule.h"

namespace {
// The person's tile is framed in the colour of the alert's person box.
const cv::Scalar kPersonFrameColour(0, 0, 255);
constexpr int kPersonFrameWidth = 4;
// The stamp's height as a share of a tile's width: readable when the sheet
// is shown at a phone's width.
constexpr double kStampHeightShare = 0.07;

// When a picture file was last written: the archive writes person.jpg and
// peak.jpg at the moment they show.
int64_t WrittenMs(const std::string& path, int64_t fallback) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return fallback;
  return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

void AddPicture(std::vector<SheetFrame>& frames, const std::string& path, int64_t timeMs, bool person,
                std::string* why) {
  // A picture the archive did not write is no fault: the log stays quiet.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return;
  const cv::Mat picture = ReadImageFile(path, cv::IMREAD_COLOR, why);
  if (!picture.empty()) frames.push_back({picture, timeMs, person});
}

// Frames read evenly from the clip, first and last included. The clip spans
// the event, so a frame's time is its share of the event's length: the
// clip's own frame rate is only what its writer was told.
std::vector<SheetFrame> ClipFrames(const EventInfo& event, int wanted, std::string* why) {
  std::vector<SheetFrame> frames;
  std::unique_ptr<IVideoReader> clip;
  try {
    clip = OpenCv().MakeVideoReader();
    if (!clip->Open(event.folder + "/" + kEventClip, cv::CAP_FFMPEG, {})) return frames;
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return frames;
  }
  int64_t count = event.frames > 0 ? event.frames : static_cast<int64_t>(clip->Get(cv::CAP_PROP_FRAME_COUNT));
  if (count <= 0) return frames;
  const int64_t taken = std::min<int64_t>(wanted, count);
  for (int64_t i = 0; i < taken; ++i) {
    const int64_t index = taken > 1 ? i * (count - 1) / (taken - 1) : 0;
    cv::Mat picture;
    if (!clip->Set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(index)) || !clip->Read(picture) ||
        picture.empty())
      continue;
    int64_t timeMs = event.startMs + static_cast<int64_t>(clip->Get(cv::CAP_PROP_POS_MSEC));
    if (event.endMs > event.startMs && count > 1)
      timeMs = event.startMs + (event.endMs - event.startMs) * index / (count - 1);
    frames.push_back({picture.clone(), timeMs, false});
  }
  return frames;
}

std::string Stamp(int64_t timeMs) {
  return LocalTimeText(static_cast<std::time_t>(timeMs / 1000), "%H:%M:%S");
}

// The picture fitted into the tile, kept in its proportions, with the time
// in a dark band at the lower left where it reads on any scene.
void DrawTile(cv::Mat tile, const SheetFrame& frame) {
  const double scale = std::min(static_cast<double>(tile.cols) / frame.picture.cols,
                                static_cast<double>(tile.rows) / frame.picture.rows);
  const cv::Size size(std::max(1, static_cast<int>(frame.picture.cols * scale)),
                      std::max(1, static_cast<int>(frame.picture.rows * scale)));
  cv::Mat fitted;
  cv::resize(frame.picture, fitted, size, 0, 0, cv::INTER_AREA);
  fitted.copyTo(tile(cv::Rect((tile.cols - size.width) / 2, (tile.rows - size.height) / 2, size.width,
                              size.height)));
  const int textHeight = std::max(8, static_cast<int>(tile.cols * kStampHeightShare));
  const int font = cv::FONT_HERSHEY_SIMPLEX;
  const double fontScale = cv::getFontScaleFromHeight(font, textHeight, 2);
  const std::string text = Stamp(frame.timeMs);
  int baseline = 0;
  const cv::Size box = cv::getTextSize(text, font, fontScale, 2, &baseline);
  const int pad = textHeight / 4;
  const cv::Rect band(0, tile.rows - box.height - baseline - 2 * pad, box.width + 2 * pad,
                      box.height + baseline + 2 * pad);
  tile(band & cv::Rect(0, 0, tile.cols, tile.rows)).setTo(cv::Scalar::all(0));
  cv::putText(tile, text, cv::Point(pad, tile.rows - baseline - pad), font, fontScale,
              cv::Scalar::all(255), 2, cv::LINE_AA);
  if (frame.person)
    cv::rectangle(tile, cv::Rect(0, 0, tile.cols, tile.rows), kPersonFrameColour, kPersonFrameWidth);
}
} // namespace

std::vector<SheetFrame> EventSheetFrames(const EventInfo& event, std::string* why) {
  std::vector<SheetFrame> frames;
  const std::string person = event.folder + "/" + kEventPersonPicture;
  if (event.person) AddPicture(frames, person, WrittenMs(person, event.startMs), true, why);
  std::vector<SheetFrame> clip = ClipFrames(event, kSheetFrames - static_cast<int>(frames.size()), why);
  if (clip.empty()) {
    const std::string peak = event.folder + "/" + kEventPeakPicture;
    AddPicture(frames, event.folder + "/" + kEventFirstPicture, event.startMs, false, why);
    AddPicture(frames, peak, WrittenMs(peak, event.startMs), false, why);
  }
  for (SheetFrame& frame : clip) frames.push_back(std::move(frame));
  return frames;
}

cv::Mat BuildContactSheet(const std::vector<SheetFrame>& frames) {
  if (frames.empty()) return {};
  const int count = std::min(static_cast<int>(frames.size()), kSheetFrames);
  const int columns = std::min(count, kSheetColumns);
  const int rows = (count + columns - 1) / columns;
  const int tileWidth = kSheetWidth / columns;
  // Every tile in the proportions of the first picture: one camera's frames.
  const cv::Mat& first = frames.front().picture;
  const int tileHeight = std::max(1, tileWidth * first.rows / std::max(1, first.cols));
  cv::Mat sheet(rows * tileHeight, kSheetWidth, CV_8UC3, cv::Scalar::all(0));
  for (int i = 0; i < count; ++i)
    DrawTile(sheet(cv::Rect(i % columns * tileWidth, i / columns * tileHeight, tileWidth, tileHeight)),
             frames[i]);
  return sheet;
}
