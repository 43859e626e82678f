#include "net/WaitCancel.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

TWaitCancel::TWaitCancel() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TWaitCancel::~TWaitCancel() {
  if (fd_ >= 0) ::close(fd_);
}

void TWaitCancel::Cancel() {
  cancelled_ = true;
  if (fd_ < 0) return;
  const uint64_t one = 1;
  (void)!::write(fd_, &one, sizeof one);
}

bool TWaitCancel::Cancelled() const { return cancelled_; }
