#include "platform/AppPaths.h"

// The program works in the folder it was started in.
bool EnterWorkingFolder(const std::string& profile, std::string* error) {
  (void)profile;
  (void)error;
  return true;
}
