#pragma once

// The program's name as users see it: window and message captions, tray
// tip, menus, the mails' subjects and signature, the single-instance lock.
inline constexpr char kDisplayName[] = "防犯カメラ・ヴァルド";
