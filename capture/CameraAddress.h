#pragma once
#include <cstdint>
#include <string>

// Which camera a setting means, in words for a message or the journal:
// "映像アドレス URL" (a password in the address shown as ***), or
// "カメラ番号 N (/dev/videoM)" with the device it is on this machine, or a
// note that no such device exists.
// What a user reads when the camera does not open: the same words in the
// window's box, its status line, the journal and a mail's answer.
extern const char kCameraFailedText[];
// `reason`, when given, is said in place of the first two lines: what is
// known of why (PictureTooLargeText).
std::string CameraFailedText(int32_t cameraNumber, const std::string& address, const std::string& reason = "");
// The camera sent only pictures beyond the frame limits (capture/FrameLimits.h).
std::string PictureTooLargeText(int64_t width, int64_t height);

std::string DescribeCamera(int32_t cameraNumber, const std::string& address,
                           const std::string& devDir = "/dev");

// The address with the password of its user part, if any, replaced by ***.
std::string AddressWithoutPassword(const std::string& address);

// Any text (a library's log line) with the password of every address in it
// replaced by ***.
std::string TextWithoutPasswords(const std::string& text);

// True for an address the stream reader (FFmpeg) opens: a scheme other than
// http:// (tried as MJPEG first) and file://.
bool IsStreamCameraAddress(const std::string& address);
