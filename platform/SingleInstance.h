#pragma once
#include <string>

// Marks the one running instance for the user: an advisory lock on a file
// held for the life of the process, so the kernel drops it even after a
// crash.
class SingleInstance {
public:
  enum class Result {
    Acquired,       // this process is the one instance
    AlreadyRunning, // another process holds the lock
    Unavailable,    // no lock file could be made; nothing can be told
  };

  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock on the named file in LockFolder(), without waiting.
  Result Acquire(const std::string& name);

  // The lock file's name for a profile: `base` itself for the default (the
  // name every earlier version used), `base@profile` for a named one, so
  // each profile has one running instance of its own.
  static std::string LockNameFor(const std::string& base, const std::string& profile);

  // $XDG_RUNTIME_DIR when it is a folder, else a folder of this user's own
  // under /tmp (made with mode 0700 when missing).
  static std::string LockFolder();

private:
  int fd_ = -1;
};
