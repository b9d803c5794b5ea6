// An open file descriptor, closed with its owner.
#pragma once

#include <unistd.h>

namespace corvantix::emulation {

class Fd {
public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }

private:
  int fd_;
};

} // namespace corvantix::emulation
