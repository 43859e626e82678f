#pragma once
#include <cstddef>
#include <string>

// How a file is replaced whole.
struct AtomicWrite {
  // Waits until the bytes are on the disk before the rename: a crash then
  // leaves the old file or the new one, never an empty one.
  bool sync = true;
  // Mode 0600 whatever the umask: the file holds passwords or mails.
  bool ownerOnly = false;
  // The temporary's path, in the same folder (a rename does not cross file
  // systems); empty: the file's own path and ".tmp". One ending in XXXXXX
  // is made unique, and locked while it is written so that a cleaner of
  // copies left by a killed writer can tell one still in use.
  std::string temporary;
};

// Writes `data` to a temporary beside `path` (never through a link), then
// renames it over `path`, so a reader never sees half of one. False, with
// the operation, the file and the system's error text, when it cannot be;
// the temporary is then removed.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size, const AtomicWrite& how,
                         std::string* error);
bool WriteFileAtomically(const std::string& path, const std::string& bytes, const AtomicWrite& how,
                         std::string* error);
