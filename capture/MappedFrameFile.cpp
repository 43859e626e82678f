#include "capture/MappedFrameFile.h"

#include <csetjmp>
#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
// The guarded copy in progress on this thread, if any.
thread_local sigjmp_buf* tGuard = nullptr;
struct sigaction gPreviousBusAction;
std::once_flag gBusHandlerOnce;

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (tGuard) siglongjmp(*tGuard, 1);
  // Not a guarded copy: what would have happened without us.
  if (gPreviousBusAction.sa_flags & SA_SIGINFO) {
    if (gPreviousBusAction.sa_sigaction) gPreviousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  if (gPreviousBusAction.sa_handler == SIG_IGN) return;
  if (gPreviousBusAction.sa_handler == SIG_DFL) {
    // Returning re-runs the faulting access, which now ends the process.
    std::signal(SIGBUS, SIG_DFL);
    return;
  }
  gPreviousBusAction.sa_handler(signal);
}

void InstallBusHandler() {
  struct sigaction action{};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &gPreviousBusAction);
}

// The one kept mapping. The mutex is held over every copy through it, so it
// is never unmapped under a reader or writer on another thread.
struct Mapping {
  std::mutex mutex;
  std::string lastWrittenPath;
  uint8_t* bytes = nullptr;
  size_t size = 0;
  dev_t device = 0;
  ino_t inode = 0;

  void Unmap() {
    if (bytes) munmap(bytes, size);
    bytes = nullptr;
    size = 0;
  }
  bool Holds(const struct stat& st) const {
    return bytes && st.st_dev == device && st.st_ino == inode &&
           static_cast<uint64_t>(st.st_size) == size;
  }
};

Mapping& TheMapping() {
  static Mapping* mapping = new Mapping;  // lives to the end: no order-of-exit trouble
  return *mapping;
}

// Maps fd (already at fileSize bytes) into `mapping`; false leaves it empty.
bool MapFile(Mapping& mapping, int fd, const struct stat& st, size_t fileSize) {
  mapping.Unmap();
  void* bytes = mmap(nullptr, fileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (bytes == MAP_FAILED) return false;
  mapping.bytes = static_cast<uint8_t*>(bytes);
  mapping.size = fileSize;
  mapping.device = st.st_dev;
  mapping.inode = st.st_ino;
  return true;
}

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

private:
  int fd_;
};
} // namespace

bool RunFaultGuarded(const std::function<void()>& copy) {
  std::call_once(gBusHandlerOnce, InstallBusHandler);
  sigjmp_buf here;
  sigjmp_buf* const outer = tGuard;
  if (sigsetjmp(here, 1) != 0) {
    tGuard = outer;
    return false;
  }
  tGuard = &here;
  copy();
  tGuard = outer;
  return true;
}

MappedUse WriteMappedFrameFile(const std::string& path, size_t fileSize, struct stat* written,
                               const std::function<void(uint8_t* bytes)>& fill) {
  Mapping& mapping = TheMapping();
  std::lock_guard<std::mutex> lock(mapping.mutex);
  if (path != mapping.lastWrittenPath) {
    mapping.lastWrittenPath = path;
    return MappedUse::NotMapped;
  }
  if (fileSize == 0) return MappedUse::NotMapped;
  const Descriptor fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  struct stat st{};
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return MappedUse::NotMapped;
  if (!mapping.Holds(st) || static_cast<uint64_t>(st.st_size) != fileSize) {
    mapping.Unmap();
    // Blocks reserved up front: a full file system fails the ordinary write
    // that follows with its own error, not a copy into a mapped hole.
    if (ftruncate(fd.get(), static_cast<off_t>(fileSize)) != 0 ||
        posix_fallocate(fd.get(), 0, static_cast<off_t>(fileSize)) != 0 ||
        fstat(fd.get(), &st) != 0)
      return MappedUse::NotMapped;
    // Mapped through a descriptor of its own: a mapping holds the open file
    // it was made from, whose close would then never be seen.
    const Descriptor mapFd(open(path.c_str(), O_RDWR | O_CLOEXEC));
    struct stat mapSt{};
    if (mapFd.get() < 0 || fstat(mapFd.get(), &mapSt) != 0 || mapSt.st_ino != st.st_ino ||
        mapSt.st_dev != st.st_dev || !MapFile(mapping, mapFd.get(), st, fileSize))
      return MappedUse::NotMapped;
  }
  uint8_t* const bytes = mapping.bytes;
  if (!RunFaultGuarded([&] { fill(bytes); })) {
    mapping.Unmap();
    return MappedUse::Failed;
  }
  // A store through a mapping moves neither the modification time nor
  // inotify; those watching the file would see a frozen camera. Its first
  // byte written again through the descriptor does both, as an ordinary
  // write does, and the close that follows is the usual close-after-write.
  if (pwrite(fd.get(), bytes, 1, 0) != 1) return MappedUse::Failed;
  if (written && fstat(fd.get(), written) != 0) return MappedUse::Failed;
  return MappedUse::Done;
}

MappedUse ReadMappedFrameFile(const struct stat& st,
                              const std::function<void(const uint8_t* bytes, size_t size)>& read) {
  Mapping& mapping = TheMapping();
  std::lock_guard<std::mutex> lock(mapping.mutex);
  if (!mapping.Holds(st)) return MappedUse::NotMapped;
  const uint8_t* const bytes = mapping.bytes;
  const size_t size = mapping.size;
  if (!RunFaultGuarded([&] { read(bytes, size); })) {
    mapping.Unmap();
    return MappedUse::Failed;
  }
  return MappedUse::Done;
}

void ForgetMappedFrameFile() {
  Mapping& mapping = TheMapping();
  std::lock_guard<std::mutex> lock(mapping.mutex);
  mapping.Unmap();
  mapping.lastWrittenPath.clear();
}
