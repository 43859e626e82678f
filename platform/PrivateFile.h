#pragma once
#include <cstddef>
#include <string>

// Reading a file the program itself wrote into one of its private folders,
// trusting nothing about what may lie there now.
enum class PrivateFileRead {
  Read,      // the bytes are in `bytes`
  Missing,   // no such file
  Refused,   // a link, not a regular file, another user's, or over the bound
  Failed,    // the system refused to open or read it
};

// Reads `path` whole when it is a regular file of this user, not reached
// through a link, of at most `maxBytes`; a file that is kept is made mode
// 0600. `why` says, in Japanese for a notice, what was refused or failed.
PrivateFileRead ReadPrivateFile(const std::string& path, size_t maxBytes, std::string& bytes, std::string* why);
