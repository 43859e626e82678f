#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One folder per alarm under the events folder, named by its local start
// time "YYYY-MM-DD_HH-MM-SS" ("_2", "_3", ... when two start in the same
// second). Only folders holding the marker file are ours: nothing else is
// ever listed or deleted.
constexpr char kEventMarkerFile[] = "event.txt";
constexpr char kEventFirstPicture[] = "first.jpg";   // the alarm's first frame
constexpr char kEventPeakPicture[] = "peak.jpg";     // the frame that changed most
constexpr char kEventPersonPicture[] = "person.jpg"; // where a person was confirmed
constexpr char kEventClip[] = "clip.mkv";

// The marker file's first line; "key=value" lines follow:
//   start_ms=<epoch ms>  end_ms=<epoch ms, written when the event ends>
//   person=<0|1>  frames=<frames in the clip>
//   profile=<the profile that recorded it, "default" without one; older
//            markers have no such line>
//   test=1   (only in the folder of a test alarm)
constexpr char kEventMarkerLine[] = "vardocam-event 1";

struct EventInfo {
  std::string folder;  // full path
  int64_t startMs = 0;
  int64_t endMs = 0;   // 0: still recording, or cut short
  bool person = false;
  int64_t frames = 0;
  std::string profile;  // empty: a marker from before markers named one
  bool test = false;    // made by a test alarm, not by motion
};

// The events folder of a profile: `eventDir` when set, else
// $XDG_DATA_HOME/vardocam/events/<profile, or "default"> (~/.local/share
// without XDG_DATA_HOME). Never the runtime working folder.
std::string EventArchiveRoot(const std::string& eventDir, const std::string& profile);

// Our own event folders under `root`, newest first.
std::vector<EventInfo> ListEvents(const std::string& root);
// Reads one folder's marker; false when it is not one of ours.
bool ReadEventInfo(const std::string& folder, EventInfo& info);
