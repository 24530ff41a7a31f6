#include "platform/fs/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

#include "platform/fs/unique_fd.h"

namespace sonarell::fs {

Result<std::string, ReadFileError> readRegularFile(const std::string& path, std::size_t maxBytes,
                                                   Growth growth) {
  using Kind = ReadFileError::Kind;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // forever. It changes nothing for a regular file.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return ReadFileError{Kind::Open, errno};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ReadFileError{Kind::Read, errno};
  if (!S_ISREG(st.st_mode)) return ReadFileError{Kind::NotRegular, 0};
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxBytes)
    return ReadFileError{Kind::TooLarge, 0};
  const auto size = static_cast<std::size_t>(st.st_size);

  std::string bytes;
  try {
    bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return ReadFileError{Kind::NoMemory, 0};
  } catch (const std::length_error&) {
    return ReadFileError{Kind::NoMemory, 0};
  }
  std::size_t used = 0;
  while (used < size) {
    const ssize_t n = ::read(fd.get(), bytes.data() + used, size - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadFileError{Kind::Read, errno};
    }
    if (n == 0) return ReadFileError{Kind::Changed, 0};  // shrank
    used += static_cast<std::size_t>(n);
  }
  if (growth == Growth::Ignore) return bytes;
  // One more byte tells whether it grew meanwhile: what was read would then be
  // a prefix of something else, not the file.
  for (;;) {
    char extra = 0;
    const ssize_t n = ::read(fd.get(), &extra, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadFileError{Kind::Read, errno};
    }
    if (n > 0) return ReadFileError{Kind::Changed, 0};
    break;
  }
  return bytes;
}

}  // namespace sonarell::fs
