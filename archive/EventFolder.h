#pragma once
#include <cstdint>
#include <string>

#include "archive/EventLayout.h"
#include "archive/EventMarker.h"

// How many folders of one second are tried ("_2" ... "_99") before giving up.
constexpr int kMaxSameSecondEvents = 99;

// "YYYY-MM-DD_HH-MM-SS" of an epoch time in ms, in local time.
std::string EventFolderName(int64_t startMs);

// Makes a new folder for an event that starts at `startMs` under `root`
// (created as needed), owner-only since it holds camera footage; its path in
// `folder`. False with the reason.
bool CreateEventFolder(const std::string& root, int64_t startMs, std::string& folder,
                       std::string* error);

// Makes the regular files directly in an event folder owner-only (links
// are not followed): a clip its writer made with the umask's mode holds
// the same footage as the pictures beside it.
void MakeEventFilesPrivate(const std::string& folder);
