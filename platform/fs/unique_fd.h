#pragma once

// An owning file descriptor, and whole-buffer read and write loops over one.

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <utility>

namespace sonarell::fs {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Closes now and reports whether the close succeeded: on some file systems a
  // failed close is the first sign that written data did not reach the disk.
  bool close() {
    if (fd_ < 0) return false;
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

  void reset() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

// Writes every byte, resuming after short writes and EINTR.
bool writeAll(int fd, std::string_view bytes);

}  // namespace sonarell::fs
