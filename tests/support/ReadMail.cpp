#include "support/ReadMail.h"

#include <cstdio>

std::map<std::string, std::string> ReadMail(const std::string& path, const std::string& saveDir) {
  std::map<std::string, std::string> fields;
  std::string command = std::string("/usr/bin/python3 ") + VARDOCAM_TEST_PEERS_DIR + "/read_mail.py '" + path + "'";
  if (!saveDir.empty()) command += " '" + saveDir + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return fields;
  char line[8192];
  while (fgets(line, sizeof line, pipe)) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const size_t eq = text.find('=');
    if (eq != std::string::npos) fields[text.substr(0, eq)] = text.substr(eq + 1);
  }
  pclose(pipe);
  return fields;
}
