// Addresses and FFmpeg's log lines about them (which may quote what an RTSP
// server answered): whatever the bytes, hiding the passwords never reads
// out of bounds, and hiding them again changes nothing.
#include "capture/CameraAddress.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = AsText(data, size);
  const std::string line = TextWithoutPasswords(bytes);
  FUZZ_CHECK(TextWithoutPasswords(line) == line);
  const std::string address = AddressWithoutPassword(bytes);
  FUZZ_CHECK(AddressWithoutPassword(address) == address);
  return 0;
}
