#include "platform/fs/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/fs/tree_calls.h"
#include "platform/fs/unique_fd.h"
#include "platform/random/random_bytes.h"

namespace sonarell::fs {

namespace {

// A folder with more names than this is refused rather than listed into memory.
constexpr std::size_t kMaxNamesPerFolder = std::size_t{1} << 20;
// Files are read and compared in pieces of this size.
constexpr std::size_t kChunk = std::size_t{1} << 16;
// Link texts longer than this are refused (the systems' own limits are far below it).
constexpr std::size_t kMaxLinkText = std::size_t{1} << 16;

// An error of this file's own: an item replaced or cut short while it was read.
constexpr int kChanged = -1;

std::string why(int error) {
  return error == kChanged ? "it changed while it was read" : std::strerror(error);
}

// A path as it can stand in one line of a log: control characters escaped, so
// that a name holding a line break cannot pass for another line.
std::string shown(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

enum class Kind { Folder, File, Link, Fifo, Socket, CharacterDevice, BlockDevice, Unknown };

Kind kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return Kind::Folder;
  if (S_ISREG(mode)) return Kind::File;
  if (S_ISLNK(mode)) return Kind::Link;
  if (S_ISFIFO(mode)) return Kind::Fifo;
  if (S_ISSOCK(mode)) return Kind::Socket;
  if (S_ISCHR(mode)) return Kind::CharacterDevice;
  if (S_ISBLK(mode)) return Kind::BlockDevice;
  return Kind::Unknown;
}

const char* kindWords(Kind kind) {
  switch (kind) {
    case Kind::Folder:
      return "a folder";
    case Kind::File:
      return "a regular file";
    case Kind::Link:
      return "a symbolic link";
    case Kind::Fifo:
      return "a FIFO";
    case Kind::Socket:
      return "a socket";
    case Kind::CharacterDevice:
      return "a character device";
    case Kind::BlockDevice:
      return "a block device";
    case Kind::Unknown:
      break;
  }
  return "an item of an unknown kind";
}

bool isTreeKind(Kind kind) { return kind == Kind::Folder || kind == Kind::File || kind == Kind::Link; }

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A path split into the folder that holds it and its last name ("." for a
// relative name alone); none when there is no name to take ("/", "", "..").
struct Place {
  std::string folder;
  std::string name;
};
std::optional<Place> placeOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.rfind('/');
  Place place;
  if (slash == std::string::npos) {
    place = {".", trimmed};
  } else {
    place = {slash == 0 ? "/" : trimmed.substr(0, slash), trimmed.substr(slash + 1)};
  }
  if (place.name.empty() || place.name == "." || place.name == "..") return std::nullopt;
  return place;
}

UniqueFd openFolder(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
}

UniqueFd openFolderAt(int dir, const std::string& name) {
  return UniqueFd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
}

// A regular file opened for reading without following a link or waiting on a
// FIFO put in its place; `st` receives its attributes.
UniqueFd openFileAt(int dir, const std::string& name, struct stat& st, int& error) {
  UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    error = errno == ELOOP ? kChanged : errno;
    return fd;
  }
  if (::fstat(fd.get(), &st) != 0) {
    error = errno;
    return UniqueFd();
  }
  if (!S_ISREG(st.st_mode)) {
    error = kChanged;
    return UniqueFd();
  }
  return fd;
}

// A name in a folder, with its kind when the listing tells it (most file
// systems do), which spares looking at each item once more.
struct Entry {
  std::string name;
  std::optional<Kind> kind;
};

std::optional<Kind> listedKind([[maybe_unused]] const dirent& entry) {
#ifdef DT_UNKNOWN
  switch (entry.d_type) {
    case DT_DIR:
      return Kind::Folder;
    case DT_REG:
      return Kind::File;
    case DT_LNK:
      return Kind::Link;
    case DT_FIFO:
      return Kind::Fifo;
    case DT_SOCK:
      return Kind::Socket;
    case DT_CHR:
      return Kind::CharacterDevice;
    case DT_BLK:
      return Kind::BlockDevice;
    default:
      break;
  }
#endif
  return std::nullopt;
}

// The kind of the entry: the listing's, or else a look at the item; 0 or the errno.
int kindAt(int dir, const Entry& entry, Kind& kind) {
  if (entry.kind) {
    kind = *entry.kind;
    return 0;
  }
  struct stat st {};
  if (::fstatat(dir, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  kind = kindOf(st.st_mode);
  return 0;
}

// The entries of the open folder (without "." and ".."), sorted bytewise by
// name; the reason when they cannot be listed.
std::optional<std::string> listEntries(int folder, std::vector<Entry>& entries) {
  entries.clear();
  const int copy = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return why(errno);
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const int error = errno;
    ::close(copy);
    return why(error);
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> owned(dir, &::closedir);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    if (entries.size() >= kMaxNamesPerFolder)
      return "more than " + std::to_string(kMaxNamesPerFolder) + " names";
    entries.push_back({std::string(name), listedKind(*entry)});
  }
  if (errno != 0) return why(errno);
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) { return x.name < y.name; });
  return std::nullopt;
}

// The text of the link; 0 or the errno.
int readLinkAt(int dir, const std::string& name, std::string& text) {
  for (std::size_t size = 256; size <= kMaxLinkText; size *= 2) {
    text.resize(size);
    const ssize_t n = ::readlinkat(dir, name.c_str(), text.data(), size);
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) < size) {
      text.resize(static_cast<std::size_t>(n));
      return 0;
    }
  }
  return ENAMETOOLONG;
}

// Reads `size` bytes: 0, the errno, or kChanged when the file ends before.
int readExactly(int fd, char* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return kChanged;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Comparing

class Comparer {
 public:
  Comparer(std::string a, std::string b)
      : a_(std::move(a)), b_(std::move(b)), bufferA_(new char[kChunk]), bufferB_(new char[kChunk]) {}

  std::optional<std::string> run() {
    // The roots are followed when they are links.
    struct stat sa {};
    struct stat sb {};
    if (::stat(a_.c_str(), &sa) != 0) return shown(a_) + " cannot be read (" + why(errno) + ")";
    if (::stat(b_.c_str(), &sb) != 0) return shown(b_) + " cannot be read (" + why(errno) + ")";
    const Kind ka = kindOf(sa.st_mode), kb = kindOf(sb.st_mode);
    if (!isTreeKind(ka)) return std::string(kindWords(ka)) + " at " + shown(a_);
    if (!isTreeKind(kb)) return std::string(kindWords(kb)) + " at " + shown(b_);
    const std::string both = shown(a_) + " and " + shown(b_);
    if (ka != kb) return both + ": " + kindWords(ka) + " in one, " + kindWords(kb) + " in the other";
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (ka == Kind::Folder ? O_DIRECTORY : 0);
    const UniqueFd fa(::open(a_.c_str(), flags));
    if (!fa || ::fstat(fa.get(), &sa) != 0) return shown(a_) + " cannot be read (" + why(errno) + ")";
    const UniqueFd fb(::open(b_.c_str(), flags));
    if (!fb || ::fstat(fb.get(), &sb) != 0) return shown(b_) + " cannot be read (" + why(errno) + ")";
    if (kindOf(sa.st_mode) != ka || kindOf(sb.st_mode) != kb)
      return both + " cannot be read (" + why(kChanged) + ")";
    if (ka == Kind::File) return compareFiles(fa.get(), sa, fb.get(), sb, both);

    Frame top;
    if (auto failure = listEntries(fa.get(), top.entriesA))
      return shown(a_) + " cannot be read (" + *failure + ")";
    if (auto failure = listEntries(fb.get(), top.entriesB))
      return shown(b_) + " cannot be read (" + *failure + ")";
    top.a = UniqueFd(::fcntl(fa.get(), F_DUPFD_CLOEXEC, 0));
    top.b = UniqueFd(::fcntl(fb.get(), F_DUPFD_CLOEXEC, 0));
    if (!top.a || !top.b) return both + " cannot be read (" + why(errno) + ")";
    stack_.push_back(std::move(top));
    return walk();
  }

 private:
  struct Frame {
    UniqueFd a, b;
    std::string path;  // below the roots; empty for the roots
    std::vector<Entry> entriesA, entriesB;
    std::size_t nextA = 0, nextB = 0;
  };

  std::optional<std::string> walk() {
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      const bool moreA = frame.nextA < frame.entriesA.size(), moreB = frame.nextB < frame.entriesB.size();
      if (!moreA && !moreB) {
        stack_.pop_back();
        continue;
      }
      const Entry* ea = moreA ? &frame.entriesA[frame.nextA] : nullptr;
      const Entry* eb = moreB ? &frame.entriesB[frame.nextB] : nullptr;
      if (ea && (!eb || ea->name < eb->name))
        return shown(joined(frame.path, ea->name)) + ": only in " + shown(a_);
      if (!ea || eb->name < ea->name) return shown(joined(frame.path, eb->name)) + ": only in " + shown(b_);
      ++frame.nextA;
      ++frame.nextB;
      // May push a frame, which moves `frame` and the entries.
      if (auto difference = compareEntry(stack_.size() - 1, Entry(*ea), Entry(*eb))) return difference;
    }
    return std::nullopt;
  }

  std::string unreadable(const std::string& path, const std::string& root, const std::string& reason) const {
    return shown(path) + " in " + shown(root) + " cannot be read (" + reason + ")";
  }

  std::optional<std::string> compareEntry(std::size_t level, const Entry& ea, const Entry& eb) {
    Frame& frame = stack_[level];
    const std::string& name = ea.name;
    const std::string path = joined(frame.path, name);
    Kind ka = Kind::Unknown, kb = Kind::Unknown;
    if (const int error = kindAt(frame.a.get(), ea, ka)) return unreadable(path, a_, why(error));
    if (const int error = kindAt(frame.b.get(), eb, kb)) return unreadable(path, b_, why(error));
    if (!isTreeKind(ka)) return std::string(kindWords(ka)) + " at " + shown(path) + " in " + shown(a_);
    if (!isTreeKind(kb)) return std::string(kindWords(kb)) + " at " + shown(path) + " in " + shown(b_);
    if (ka != kb) return shown(path) + ": " + kindWords(ka) + " in one, " + kindWords(kb) + " in the other";

    if (ka == Kind::File) {
      struct stat sa {};
      struct stat sb {};
      int error = 0;
      const UniqueFd fa = openFileAt(frame.a.get(), name, sa, error);
      if (!fa) return unreadable(path, a_, why(error));
      const UniqueFd fb = openFileAt(frame.b.get(), name, sb, error);
      if (!fb) return unreadable(path, b_, why(error));
      return compareFiles(fa.get(), sa, fb.get(), sb, shown(path));
    }
    if (ka == Kind::Link) {
      if (const int error = readLinkAt(frame.a.get(), name, linkA_)) return unreadable(path, a_, why(error));
      if (const int error = readLinkAt(frame.b.get(), name, linkB_)) return unreadable(path, b_, why(error));
      if (linkA_ != linkB_) return shown(path) + ": the link texts differ";
      return std::nullopt;
    }
    if (stack_.size() >= static_cast<std::size_t>(kMaxTreeDepth)) {
      return shown(path) + ": more than " + std::to_string(kMaxTreeDepth) + " folders deep, not compared";
    }
    Frame child;
    child.path = path;
    child.a = openFolderAt(frame.a.get(), name);
    if (!child.a) return unreadable(path, a_, why(errno == ENOTDIR || errno == ELOOP ? kChanged : errno));
    child.b = openFolderAt(frame.b.get(), name);
    if (!child.b) return unreadable(path, b_, why(errno == ENOTDIR || errno == ELOOP ? kChanged : errno));
    if (auto failure = listEntries(child.a.get(), child.entriesA)) return unreadable(path, a_, *failure);
    if (auto failure = listEntries(child.b.get(), child.entriesB)) return unreadable(path, b_, *failure);
    stack_.push_back(std::move(child));
    return std::nullopt;
  }

  // Sizes first, then the bytes piece by piece (as many as the size: a file
  // written to while it is compared is a race no comparison settles).
  std::optional<std::string> compareFiles(int a, const struct stat& sa, int b, const struct stat& sb,
                                          const std::string& what) {
    if (sa.st_size != sb.st_size) return what + ": the bytes differ";
    for (auto left = static_cast<std::size_t>(sa.st_size); left > 0;) {
      const std::size_t piece = std::min(left, kChunk);
      if (const int error = readExactly(a, bufferA_.get(), piece))
        return what + " cannot be read (" + why(error) + ")";
      if (const int error = readExactly(b, bufferB_.get(), piece))
        return what + " cannot be read (" + why(error) + ")";
      if (std::memcmp(bufferA_.get(), bufferB_.get(), piece) != 0) return what + ": the bytes differ";
      left -= piece;
    }
    return std::nullopt;
  }

  const std::string a_, b_;
  std::unique_ptr<char[]> bufferA_, bufferB_;
  std::string linkA_, linkB_;
  std::vector<Frame> stack_;
};

// ---------------------------------------------------------------------------
// Removing

// Removes the item `name` in the open folder `parent` and, for a folder,
// everything in it; the reason, naming what is still there, when anything could
// not be removed. Nothing there is success. `shownPath` names the item.
std::optional<std::string> removeAt(int parent, const std::string& name, const std::string& shownPath) {
  struct stat st {};
  if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return shownPath + " could not be removed (" + why(errno) + "); it is still there";
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) {
      return shownPath + " could not be removed (" + why(errno) + "); it is still there";
    }
    return std::nullopt;
  }

  struct Frame {
    UniqueFd fd;
    std::string name;  // in the folder of the frame below; for the first, in `parent`
    std::string path;  // below the top; empty for the top
    std::vector<Entry> entries;
    std::size_t next = 0;
    bool complete = true;  // everything inside was removed
  };
  std::optional<std::string> firstFailure;
  const auto note = [&](const std::string& path, const std::string& reason) {
    if (!firstFailure)
      firstFailure = (path.empty() ? shownPath : shownPath + "/" + shown(path)) + " (" + reason + ")";
  };
  // Opens a folder to empty it, giving its owner the rights that takes first.
  const auto enter = [&](int dir, const std::string& entry, mode_t mode, const std::string& path,
                         std::vector<Frame>& stack) {
    if ((mode & S_IRWXU) != S_IRWXU && ::fchmodat(dir, entry.c_str(), (mode & 07777) | S_IRWXU, 0) != 0) {
      note(path, why(errno));
      return false;
    }
    Frame frame;
    frame.fd = openFolderAt(dir, entry);
    if (!frame.fd) {
      note(path, why(errno));
      return false;
    }
    if (auto failure = listEntries(frame.fd.get(), frame.entries)) {
      note(path, *failure);
      return false;
    }
    frame.name = entry;
    frame.path = path;
    stack.push_back(std::move(frame));
    return true;
  };

  std::vector<Frame> stack;
  if (!enter(parent, name, st.st_mode, "", stack)) {
    return "could not remove " + *firstFailure + "; it is still there";
  }
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.entries.size()) {
      const bool complete = frame.complete;
      const std::string entry = frame.name, path = frame.path;
      stack.pop_back();
      const int dir = stack.empty() ? parent : stack.back().fd.get();
      if (complete && ::unlinkat(dir, entry.c_str(), AT_REMOVEDIR) != 0) {
        note(path, why(errno));
        if (!stack.empty()) stack.back().complete = false;
      } else if (!complete && !stack.empty()) {
        stack.back().complete = false;
      }
      continue;
    }
    const Entry entry = frame.entries[frame.next++];
    const std::string path = joined(frame.path, entry.name);
    // Anything but a folder goes at once; a folder (or what cannot be unlinked
    // for being one) is looked at first.
    if (entry.kind != Kind::Folder) {
      if (::unlinkat(frame.fd.get(), entry.name.c_str(), 0) == 0 || errno == ENOENT) continue;
      if (errno != EISDIR && errno != EPERM) {
        note(path, why(errno));
        frame.complete = false;
        continue;
      }
    }
    struct stat inner {};
    if (::fstatat(frame.fd.get(), entry.name.c_str(), &inner, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      note(path, why(errno));
      frame.complete = false;
      continue;
    }
    if (!S_ISDIR(inner.st_mode)) {
      if (::unlinkat(frame.fd.get(), entry.name.c_str(), 0) != 0 && errno != ENOENT) {
        note(path, why(errno));
        frame.complete = false;
      }
    } else if (stack.size() >= static_cast<std::size_t>(kMaxTreeDepth)) {
      note(path, "more than " + std::to_string(kMaxTreeDepth) + " folders deep");
      frame.complete = false;
    } else if (!enter(frame.fd.get(), entry.name, inner.st_mode, path, stack)) {
      stack.back().complete = false;  // nothing was pushed: still `frame`
    }
  }
  if (firstFailure) {
    return "could not remove " + *firstFailure + "; it, and the folders holding it up to " + shownPath +
           ", are still there";
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Copying

class Copier {
 public:
  explicit Copier(CopyModes modes) : modes_(modes), buffer_(new char[kChunk]) {}

  // Copies the open file or folder `root` (its attributes `rootSt`) to the new
  // `toName` in `toDir`. `made` tells whether anything was created at `toName`;
  // removing it is the caller's. The reason names the item that failed.
  std::optional<std::string> copy(int root, const struct stat& rootSt, int toDir, const std::string& toName,
                                  bool& made) {
    made = false;
    if (S_ISREG(rootSt.st_mode)) return copyFile(root, rootSt, toDir, toName, made);
    Frame top;
    top.from = UniqueFd(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!top.from) return "it cannot be read (" + why(errno) + ")";
    // Listed before the copy is made, so that a copy put inside the source is not copied too.
    if (auto failure = listEntries(top.from.get(), top.entries))
      return "it cannot be read (" + *failure + ")";
    if (::mkdirat(toDir, toName.c_str(), S_IRWXU) != 0) return "the copy cannot be made (" + why(errno) + ")";
    made = true;
    top.to = openFolderAt(toDir, toName);
    if (!top.to) return "the copy cannot be opened (" + why(errno) + ")";
    top.st = rootSt;
    top.mode = (rootSt.st_mode & 07777) | S_IWUSR;  // the top stays movable
    stack_.push_back(std::move(top));
    return walk();
  }

 private:
  struct Frame {
    UniqueFd from, to;
    std::string path;  // below the top
    struct stat st {};
    mode_t mode = 0;  // the copy's, set once it is filled
    std::vector<Entry> entries;
    std::size_t next = 0;
  };

  mode_t modeFor(const struct stat& st) const {
    const mode_t mode = st.st_mode & 07777;
    return modes_ == CopyModes::OwnerWritable ? (mode | S_IWUSR) : mode;
  }

  std::optional<std::string> walk() {
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.next == frame.entries.size()) {
        // Filled: now the folder may become read-only, and keep its time.
        const struct timespec times[2] = {frame.st.st_atim, frame.st.st_mtim};
        const std::string where = frame.path.empty() ? std::string() : shown(frame.path) + ": ";
        if (::fchmod(frame.to.get(), frame.mode) != 0)
          return where + "its mode cannot be set (" + why(errno) + ")";
        if (::futimens(frame.to.get(), times) != 0)
          return where + "its time cannot be set (" + why(errno) + ")";
        stack_.pop_back();
        continue;
      }
      const Entry entry = frame.entries[frame.next++];
      // May push a frame, which moves `frame`.
      if (auto failure = copyEntry(stack_.size() - 1, entry)) {
        return shown(joined(stack_.back().path, entry.name)) + ": " + *failure;
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> copyEntry(std::size_t level, const Entry& entry) {
    Frame& frame = stack_[level];
    const std::string& name = entry.name;
    Kind kind = Kind::Unknown;
    if (const int error = kindAt(frame.from.get(), entry, kind))
      return "it cannot be read (" + why(error) + ")";
    if (kind == Kind::File) {
      struct stat st {};
      int error = 0;
      const UniqueFd in = openFileAt(frame.from.get(), name, st, error);
      if (!in) return "it cannot be read (" + why(error) + ")";
      bool made = false;
      return copyFile(in.get(), st, frame.to.get(), name, made);
    }
    if (kind == Kind::Link) {
      if (const int error = readLinkAt(frame.from.get(), name, link_))
        return "it cannot be read (" + why(error) + ")";
      if (::symlinkat(link_.c_str(), frame.to.get(), name.c_str()) != 0) {
        return "its copy cannot be made (" + why(errno) + ")";
      }
      return std::nullopt;
    }
    if (kind != Kind::Folder) return std::string("it is ") + kindWords(kind) + ", which is not copied";
    if (stack_.size() >= static_cast<std::size_t>(kMaxTreeDepth)) {
      return "more than " + std::to_string(kMaxTreeDepth) + " folders deep";
    }
    Frame child;
    child.path = joined(frame.path, name);
    child.from = openFolderAt(frame.from.get(), name);
    if (!child.from)
      return "it cannot be read (" + why(errno == ENOTDIR || errno == ELOOP ? kChanged : errno) + ")";
    if (::fstat(child.from.get(), &child.st) != 0) return "it cannot be read (" + why(errno) + ")";
    child.mode = modeFor(child.st);
    if (auto failure = listEntries(child.from.get(), child.entries))
      return "it cannot be read (" + *failure + ")";
    if (::mkdirat(frame.to.get(), name.c_str(), S_IRWXU) != 0)
      return "its copy cannot be made (" + why(errno) + ")";
    child.to = openFolderAt(frame.to.get(), name);
    if (!child.to) return "its copy cannot be opened (" + why(errno) + ")";
    stack_.push_back(std::move(child));
    return std::nullopt;
  }

  // Copies as many bytes as the file held when it was opened; one that grows
  // meanwhile fails the check that follows every copy.
  std::optional<std::string> copyFile(int in, const struct stat& st, int toDir, const std::string& toName,
                                      bool& made) {
    UniqueFd out(::openat(toDir, toName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                          S_IRUSR | S_IWUSR));
    if (!out) return "its copy cannot be made (" + why(errno) + ")";
    made = true;
    for (auto left = static_cast<std::size_t>(st.st_size); left > 0;) {
      const std::size_t piece = std::min(left, kChunk);
      if (const int error = readExactly(in, buffer_.get(), piece))
        return "it cannot be read (" + why(error) + ")";
      if (!writeAll(out.get(), std::string_view(buffer_.get(), piece))) {
        return "its copy cannot be written (" + why(errno) + ")";
      }
      left -= piece;
    }
    // The mode after the bytes: a write clears set-user-ID bits.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(out.get(), modeFor(st)) != 0) return "its copy's mode cannot be set (" + why(errno) + ")";
    if (::futimens(out.get(), times) != 0) return "its copy's time cannot be set (" + why(errno) + ")";
    if (!out.close()) return "its copy cannot be written (" + why(errno) + ")";
    return std::nullopt;
  }

  const CopyModes modes_;
  std::unique_ptr<char[]> buffer_;
  std::string link_;
  std::vector<Frame> stack_;
};

// What is copied: an open file or folder, or a link (by its folder and name).
struct Source {
  int root = -1;
  int linkDir = -1;
  std::string linkName;
  struct stat st {};
};

// Opens the source named `name` in `dir` as it is (a link stays a link); the
// reason when it cannot be copied.
std::optional<std::string> openSource(int dir, const std::string& name, UniqueFd& fd, Source& source) {
  if (::fstatat(dir, name.c_str(), &source.st, AT_SYMLINK_NOFOLLOW) != 0)
    return "it cannot be read (" + why(errno) + ")";
  const Kind kind = kindOf(source.st.st_mode);
  if (kind == Kind::Link) {
    source.linkDir = dir;
    source.linkName = name;
    return std::nullopt;
  }
  if (kind == Kind::File) {
    int error = 0;
    struct stat st {};
    fd = openFileAt(dir, name, st, error);
    if (!fd) return "it cannot be read (" + why(error) + ")";
    if (!sameFile(st, source.st)) return "it changed while it was opened";
    source.st = st;
  } else if (kind == Kind::Folder) {
    fd = openFolderAt(dir, name);
    struct stat st {};
    if (!fd) return "it cannot be read (" + why(errno) + ")";
    if (::fstat(fd.get(), &st) != 0 || !sameFile(st, source.st)) return "it changed while it was opened";
  } else {
    return std::string("it is ") + kindWords(kind) + ", which is not copied";
  }
  source.root = fd.get();
  return std::nullopt;
}

// Copies the source to the new `toName` in `toDir` and checks the copy against
// the original (by their paths, `fromPath` and `toPath`). On failure removes
// whatever it made; the reason tells what failed.
std::optional<std::string> copyAndCheck(const Source& source, int toDir, const std::string& toName,
                                        const std::string& fromPath, const std::string& toPath,
                                        CopyModes modes) {
  bool made = false;
  std::optional<std::string> failure;
  if (source.root < 0) {
    std::string original, copied;
    if (const int error = readLinkAt(source.linkDir, source.linkName, original)) {
      failure = "it cannot be read (" + why(error) + ")";
    } else if (::symlinkat(original.c_str(), toDir, toName.c_str()) != 0) {
      failure = "the copy cannot be made (" + why(errno) + ")";
    } else {
      made = true;
      if (readLinkAt(toDir, toName, copied) != 0 || original != copied) failure = "the copied link differs";
    }
  } else {
    failure = Copier(modes).copy(source.root, source.st, toDir, toName, made);
    if (!failure) {
      if (auto difference = treeDifference(fromPath, toPath)) {
        failure = "the copy differs from the original: " + *difference;
      }
    }
  }
  if (!failure) return std::nullopt;
  std::string reason = "copying " + shown(fromPath) + " to " + shown(toPath) + " failed: " + *failure;
  if (made) {
    if (auto left = removeAt(toDir, toName, shown(toPath)))
      return reason + "; the partial copy remains: " + *left;
  }
  return reason + "; nothing was left at " + shown(toPath);
}

// Renames without ever replacing anything: 0 or the errno (EEXIST, ENOTEMPTY
// when something is at `to`). On a file system without such a rename, a file
// gets its second name first (which never replaces) and then loses the first;
// a folder takes the place of an empty folder made for it, which a rename
// replaces only while it is empty (anything put into it meanwhile makes the
// rename fail).
int renameWithoutReplacing(int fromDir, const std::string& from, int toDir, const std::string& to,
                           bool folder) {
  const int error = detail::renameWithoutReplacing(fromDir, from.c_str(), toDir, to.c_str());
  if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return error;
  if (!folder) {
    if (::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) return errno;
    ::unlinkat(fromDir, from.c_str(), 0);
    return 0;
  }
  if (::mkdirat(toDir, to.c_str(), S_IRWXU) != 0) return errno;
  if (::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0) return 0;
  const int renameError = errno;
  ::unlinkat(toDir, to.c_str(), AT_REMOVEDIR);
  return renameError;
}

}  // namespace

std::optional<std::string> treeDifference(const std::string& a, const std::string& b) {
  return Comparer(a, b).run();
}

Outcome copyTree(const std::string& from, const std::string& to, CopyModes modes) {
  const auto place = placeOf(to);
  if (!place) return Failure{"cannot copy " + shown(from) + " to " + shown(to) + ": that names no new item"};
  const UniqueFd toDir = openFolder(place->folder);
  if (!toDir) {
    return Failure{"cannot copy " + shown(from) + " to " + shown(to) + ": its folder cannot be opened (" +
                   why(errno) + ")"};
  }
  struct stat existing {};
  if (::fstatat(toDir.get(), place->name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
    return Failure{"cannot copy " + shown(from) + " to " + shown(to) +
                   ": something is there already; nothing was changed"};
  }
  // The root is followed when it is a link.
  Source source;
  if (::stat(from.c_str(), &source.st) != 0) {
    return Failure{"cannot copy " + shown(from) + ": it cannot be read (" + why(errno) +
                   "); nothing was changed"};
  }
  const Kind kind = kindOf(source.st.st_mode);
  if (kind != Kind::Folder && kind != Kind::File) {
    return Failure{"cannot copy " + shown(from) + ": it is " + kindWords(kind) + ", which is not copied"};
  }
  const UniqueFd root(::open(
      from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (kind == Kind::Folder ? O_DIRECTORY : 0)));
  struct stat opened {};
  if (!root) return Failure{"cannot copy " + shown(from) + ": it cannot be read (" + why(errno) + ")"};
  if (::fstat(root.get(), &opened) != 0 || !sameFile(opened, source.st)) {
    return Failure{"cannot copy " + shown(from) + ": it changed while it was opened"};
  }
  source.root = root.get();
  const auto failure = copyAndCheck(source, toDir.get(), place->name, from, to, modes);
  if (failure) return Failure{*failure};
  return {};
}

Outcome removeTree(const std::string& path) {
  const auto place = placeOf(path);
  if (!place) return Failure{"cannot remove " + shown(path) + ": that names no item"};
  const UniqueFd dir = openFolder(place->folder);
  if (!dir) {
    return Failure{"cannot remove " + shown(path) + ": its folder cannot be opened (" + why(errno) +
                   "); it is still there"};
  }
  if (auto failure = removeAt(dir.get(), place->name, shown(path))) return Failure{*failure};
  return {};
}

Result<MovedTree> moveTree(const std::string& from, const std::string& to) {
  const std::string what = "cannot move " + shown(from) + " to " + shown(to) + ": ";
  const auto fromPlace = placeOf(from), toPlace = placeOf(to);
  if (!fromPlace || !toPlace) return Failure{what + "that names no item; nothing was changed"};
  const UniqueFd fromDir = openFolder(fromPlace->folder);
  if (!fromDir)
    return Failure{what + "the source's folder cannot be opened (" + why(errno) + "); nothing was changed"};
  const UniqueFd toDir = openFolder(toPlace->folder);
  if (!toDir)
    return Failure{what + "the folder for it cannot be opened (" + why(errno) + "); nothing was changed"};
  struct stat st {};
  if (::fstatat(toDir.get(), toPlace->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
    return Failure{what + "something is there already; nothing was changed"};
  }
  if (::fstatat(fromDir.get(), fromPlace->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Failure{what + "it cannot be read (" + why(errno) + "); nothing was changed"};
  }
  // A folder that moves to another folder has its ".." rewritten, which takes
  // its owner's write permission; a move that fails gives back the mode it had.
  struct stat fromDirSt {
  }, toDirSt{};
  const bool otherFolder = ::fstat(fromDir.get(), &fromDirSt) != 0 || ::fstat(toDir.get(), &toDirSt) != 0 ||
                           !sameFile(fromDirSt, toDirSt);
  bool madeWritable = false;
  if (S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0 && otherFolder) {
    if (::fchmodat(fromDir.get(), fromPlace->name.c_str(), (st.st_mode & 07777) | S_IWUSR, 0) != 0) {
      return Failure{what + "it cannot be made writable (" + why(errno) + "); nothing was changed"};
    }
    madeWritable = true;
  }
  const auto unchanged = [&](std::string reason) {
    if (madeWritable) ::fchmodat(fromDir.get(), fromPlace->name.c_str(), st.st_mode & 07777, 0);
    return Failure{std::move(reason)};
  };

  int error =
      renameWithoutReplacing(fromDir.get(), fromPlace->name, toDir.get(), toPlace->name, S_ISDIR(st.st_mode));
  if (error == 0) return MovedTree{};
  if (error == EEXIST || error == ENOTEMPTY)
    return unchanged(what + "something is there already; nothing was changed");
  if (error != EXDEV) return unchanged(what + why(error) + "; nothing was changed");

  // Another file system: a checked copy under a hidden name takes the final name
  // only when whole, so that no failure (a full disk) leaves half a tree there.
  const Kind kind = kindOf(st.st_mode);
  if (!isTreeKind(kind))
    return unchanged(what + "it is " + kindWords(kind) + ", which is not moved; nothing was changed");
  const std::string toFolder = toPlace->folder == "/" ? "" : toPlace->folder;
  std::string hidden;
  for (int attempt = 0; attempt < 100 && hidden.empty(); ++attempt) {
    std::string candidate = "." + toPlace->name + ".sonarell-copy-" + random::randomLettersAndDigits();
    struct stat taken {};
    if (::fstatat(toDir.get(), candidate.c_str(), &taken, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
      hidden = std::move(candidate);
    }
  }
  if (hidden.empty()) return unchanged(what + "no free hidden name for the copy; nothing was changed");
  const std::string hiddenPath = toFolder + "/" + hidden;
  UniqueFd opened;
  Source source;
  if (auto failure = openSource(fromDir.get(), fromPlace->name, opened, source)) {
    return unchanged(what + *failure + "; nothing was changed");
  }
  if (auto failure = copyAndCheck(source, toDir.get(), hidden, from, hiddenPath, CopyModes::Keep)) {
    return unchanged(what + *failure + "; " + shown(from) + " was not changed");
  }
  const auto dropCopy = [&](const std::string& reason) {
    std::string text = what + reason;
    if (auto left = removeAt(toDir.get(), hidden, shown(hiddenPath))) return unchanged(text + "; " + *left);
    return unchanged(text + "; nothing was changed");
  };
  if (const int flushed = detail::flushFileSystem(toDir.get())) {
    return dropCopy("the copy cannot be flushed to the disk (" + why(flushed) + ")");
  }
  error = renameWithoutReplacing(toDir.get(), hidden, toDir.get(), toPlace->name, S_ISDIR(st.st_mode));
  if (error == EEXIST || error == ENOTEMPTY) return dropCopy("something appeared there meanwhile");
  if (error != 0) return dropCopy("the copy cannot be given its name (" + why(error) + ")");

  // The source goes aside first, so that a removal cut short never leaves half
  // of it under its own name.
  const std::string fromFolder = fromPlace->folder == "/" ? "" : fromPlace->folder;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string aside = "." + fromPlace->name + ".sonarell-old-" + random::randomLettersAndDigits();
    error = renameWithoutReplacing(fromDir.get(), fromPlace->name, fromDir.get(), aside, S_ISDIR(st.st_mode));
    if (error == EEXIST || error == ENOTEMPTY) continue;
    if (error != 0) return MovedTree{from};
    if (removeAt(fromDir.get(), aside, shown(fromFolder + "/" + aside)))
      return MovedTree{fromFolder + "/" + aside};
    return MovedTree{};
  }
  return MovedTree{from};
}

}  // namespace sonarell::fs
