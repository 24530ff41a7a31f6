#include "installer/run/log_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "installer/run/log_file.h"
#include "installer/text/utf8_decoder.h"
#include "platform/fs/unique_fd.h"

namespace sonarell::installer {

namespace {

// A read-only view of a whole file, unmapped when it goes.
class MappedFile {
 public:
  MappedFile(int fd, std::size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    data_ = p == MAP_FAILED ? nullptr : p;
  }
  ~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool valid() const { return data_ != nullptr; }
  std::string_view bytes() const { return {static_cast<const char*>(data_), size_}; }

 private:
  void* data_ = nullptr;
  std::size_t size_;
};

}  // namespace

std::optional<QString> readLog(const std::string& path) {
  // Large logs are decoded straight from the page cache, without copying them
  // into a buffer first; small ones, and anything mmap refuses, are read.
  constexpr off_t kMapFrom = 1 << 20;
  {
    fs::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
    if (S_ISREG(st.st_mode) && st.st_size >= kMapFrom) {
      MappedFile map(fd.get(), static_cast<std::size_t>(st.st_size));
      if (map.valid()) return decodeUtf8(map.bytes());
    }
  }
  auto bytes = readWholeFile(path);
  if (!bytes) return std::nullopt;
  return decodeUtf8(*bytes);
}

}  // namespace sonarell::installer
