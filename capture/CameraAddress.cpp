#include "capture/CameraAddress.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "capture/FrameLimits.h"
#include "capture/VideoDevices.h"

std::string AddressWithoutPassword(const std::string& address) {
  const size_t scheme = address.find("://");
  if (scheme == std::string::npos) return address;
  const size_t start = scheme + 3;
  const size_t end = std::min(address.find_first_of("/?#", start), address.size());
  const size_t at = address.rfind('@', end - 1);
  if (at == std::string::npos || at < start) return address;
  const size_t colon = address.find(':', start);
  if (colon == std::string::npos || colon > at) return address;
  return address.substr(0, colon + 1) + "***" + address.substr(at);
}

std::string TextWithoutPasswords(const std::string& text) {
  std::string out;
  size_t done = 0;
  for (size_t scheme = text.find("://"); scheme != std::string::npos; scheme = text.find("://", scheme + 3)) {
    if (scheme < done) continue;
    // The address runs to the first character no address has unquoted.
    size_t start = scheme;
    while (start > done && std::isalnum(static_cast<unsigned char>(text[start - 1]))) --start;
    const size_t end = std::min(text.find_first_of(" \t\r\n\"'<>", scheme), text.size());
    out += text.substr(done, start - done) + AddressWithoutPassword(text.substr(start, end - start));
    done = end;
  }
  return out + text.substr(std::min(done, text.size()));
}

bool IsStreamCameraAddress(const std::string& address) {
  const size_t scheme = address.find("://");
  if (scheme == std::string::npos || scheme == 0) return false;
  std::string name = address.substr(0, scheme);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name != "http" && name != "file";
}

std::string DescribeCamera(int32_t cameraNumber, const std::string& address,
                           const std::string& devDir) {
  if (!address.empty()) return "映像アドレス " + AddressWithoutPassword(address);
  const std::string number = "カメラ番号 " + std::to_string(cameraNumber);
  const std::vector<std::string> nodes = ListVideoCaptureNodes(devDir);
  if (cameraNumber < 0 || static_cast<size_t>(cameraNumber) >= nodes.size())
    return number + " (この番号の映像機器が見つかりません)";
  return number + " (" + nodes[static_cast<size_t>(cameraNumber)] + ")";
}

const char kCameraFailedText[] = "カメラの接続に失敗しました。\n機器の接続などを確認してください。";

std::string CameraFailedText(int32_t cameraNumber, const std::string& address, const std::string& reason) {
  return (reason.empty() ? std::string(kCameraFailedText) : reason) + "\n接続先: " +
         DescribeCamera(cameraNumber, address);
}

std::string PictureTooLargeText(int64_t width, int64_t height) {
  const auto n = [](int64_t v) { return std::to_string(v); };
  return "カメラの画像が大きすぎます (" + n(width) + "×" + n(height) + "、上限は幅 " + n(kMaxFrameWidth) + "・高さ " +
         n(kMaxFrameHeight) + "・計 " + n(kMaxFramePixels / 10000) + " 万画素)。\nカメラの設定で解像度を下げてください。";
}
