// Listing directories in the POSIX backend: the one owner of a DIR* and the
// one entry visitor every listing uses (the caches' record directories, the
// watcher's scans). Entries cost no stat unless the caller asks for more
// than the type readdir reports.
#pragma once

#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <system_error>

namespace Tarnix::Core::posix {

// One entry of a listing, valid during the visit only.
class DirectoryEntry {
 public:
  enum class Type { Regular, Directory, Other, Missing };

  DirectoryEntry(int directoryFd, const dirent& entry) noexcept : directoryFd_(directoryFd), entry_(entry) {}

  const char* name() const noexcept { return entry_.d_name; }

  // The inode number and the DT_ type the listing gives (DT_UNKNOWN where the
  // file system does not say).
  ino_t inode() const noexcept { return entry_.d_ino; }
  unsigned char rawType() const noexcept { return entry_.d_type; }

  // The entry's type, symbolic links followed or not; Missing when it went
  // away since it was listed (or cannot be examined).
  Type type(bool followLinks) const {
    const unsigned char known = entry_.d_type;
    if (known != DT_UNKNOWN && (known != DT_LNK || !followLinks)) {
      return known == DT_REG ? Type::Regular : known == DT_DIR ? Type::Directory : Type::Other;
    }
    struct stat st {};
    if (!status(followLinks, &st)) return Type::Missing;
    return S_ISREG(st.st_mode) ? Type::Regular : S_ISDIR(st.st_mode) ? Type::Directory : Type::Other;
  }

  // fstatat of the entry; false when it fails.
  [[nodiscard]] bool status(bool followLinks, struct stat* st) const {
    return ::fstatat(directoryFd_, entry_.d_name, st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
  }

 private:
  int directoryFd_;
  const dirent& entry_;
};

// Calls `visit(const DirectoryEntry&)` for each entry but "." and ".." of
// the directory open as `fd`, from the descriptor's current position, until
// it returns true. Read with getdents64 straight from the descriptor: a DIR
// stream would first fstat it and set its flags, and on a network file system
// every call is a round trip. Errors: getdents64's.
template <typename Visit>
[[nodiscard]] std::error_code ListEntries(int fd, Visit&& visit) {
  alignas(dirent) char buffer[16 << 10];
  for (;;) {
    const long size = RetryOnEintr([&] { return ::syscall(SYS_getdents64, fd, buffer, sizeof buffer); });
    if (size < 0) return LastError();
    if (size == 0) return {};
    for (long offset = 0; offset < size;) {
      // On 64-bit Linux a dirent is laid out as getdents64 writes it.
      const auto* entry = reinterpret_cast<const dirent*>(buffer + offset);
      offset += entry->d_reclen;
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (visit(DirectoryEntry(fd, *entry))) return {};
    }
  }
}

static_assert(sizeof(void*) == 8 && offsetof(dirent, d_name) == 19 && offsetof(dirent, d_type) == 18,
              "dirent is not laid out as getdents64 writes it");

// Move-only owner of an open directory stream.
class DirectoryStream {
 public:
  // Opens `path`; the open's error on failure (then the stream is closed).
  [[nodiscard]] std::error_code Open(const char* path) {
    dir_.reset(::opendir(path));
    return dir_ ? std::error_code() : LastError();
  }

  // Lists the directory open as `fd`, which the stream then owns (and has
  // closed when this fails).
  [[nodiscard]] std::error_code Adopt(UniqueFd fd) {
    dir_.reset(::fdopendir(fd.get()));
    if (!dir_) return LastError();
    fd.release();
    return {};
  }

  bool is_open() const noexcept { return dir_ != nullptr; }
  int fd() const noexcept { return ::dirfd(dir_.get()); }

  // Starts the next ForEach from the first entry again.
  void Rewind() noexcept { ::rewinddir(dir_.get()); }

  // Calls `visit(const DirectoryEntry&)` for each entry but "." and "..", in
  // the order the file system lists them, until it returns true. Entries
  // added or removed meanwhile may or may not be visited. Errors: readdir's.
  template <typename Visit>
  [[nodiscard]] std::error_code ForEach(Visit&& visit) {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_.get());
      if (entry == nullptr) return errno != 0 ? LastError() : std::error_code();
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (visit(DirectoryEntry(fd(), *entry))) return {};
    }
  }

 private:
  struct CloseDir {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
  };
  std::unique_ptr<DIR, CloseDir> dir_;
};

}  // namespace Tarnix::Core::posix
