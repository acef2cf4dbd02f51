// The tree walk with the fewest system calls: each directory is opened once,
// relative to its parent's descriptor (openat), read with getdents64 into one
// buffer, and each entry is examined relative to it (fstatat). The type that
// getdents64 reports spares a stat for every directory; regular files need
// one for their size. One descriptor per level of the tree is open at a time.
#include "Filesystem/internal/TreeWalk.h"

#include "Filesystem/internal/FilesystemError.h"
#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace Tarnix::Core::internal {
namespace {

using posix::LastError;
using posix::RetryOnEintr;
using posix::UniqueFd;

constexpr std::size_t kListingBytes = 32 * 1024;

// One directory of the walk: open while the directories below it are walked.
struct Level {
  UniqueFd fd;
  std::size_t pathLength;                   // of the directory's path, in the walk's path buffer
  std::vector<std::string> subdirectories;  // names, in listing order
  std::size_t next = 0;                     // the next subdirectory to walk
};

class TreeWalk {
 public:
  TreeWalk(const ioPath& root, const FileVisitor& visit) : path_(root.platformString()), visit_(visit) {}

  void Run() {
    Enter(AT_FDCWD, path_.c_str(), /*followLink=*/true);
    while (!levels_.empty()) {
      Level& level = levels_.back();
      if (level.next == level.subdirectories.size()) {
        levels_.pop_back();
        continue;
      }
      const std::string& name = level.subdirectories[level.next++];
      path_.resize(level.pathLength);
      AppendName(name.c_str());
      Enter(level.fd.get(), name.c_str(), /*followLink=*/false);
    }
  }

 private:
  // Opens the directory `name` (relative to `parentFd`), whose path is
  // path_, lists it and becomes its level.
  void Enter(int parentFd, const char* name, bool followLink) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW);
    UniqueFd fd(RetryOnEintr([&] { return ::openat(parentFd, name, flags); }));
    if (!fd) ThrowFilesystemError("Unable to list directory", ioPath(path_), LastError());
    Level level{std::move(fd), path_.size(), {}};
    List(level);
    levels_.push_back(std::move(level));
  }

  void List(Level& level) {
    for (;;) {
      const ssize_t got = RetryOnEintr([&] { return ::getdents64(level.fd.get(), buffer_.data(), kListingBytes); });
      if (got < 0) ThrowFilesystemError("Unable to list directory", ioPath(path_), LastError());
      if (got == 0) return;
      for (ssize_t offset = 0; offset < got;) {
        const auto* entry = reinterpret_cast<const dirent64*>(reinterpret_cast<const char*>(buffer_.data()) + offset);
        offset += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        Examine(level, name, entry->d_type);
      }
    }
  }

  void Examine(Level& level, const char* name, unsigned char type) {
    struct stat status {};
    if (type == DT_UNKNOWN) {  // a file system that does not say: ask, without following links
      if (::fstatat(level.fd.get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) return;  // gone
      type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : S_ISLNK(status.st_mode) ? DT_LNK : DT_UNKNOWN;
      if (type == DT_REG) return Visit(level, name, static_cast<unsigned long long>(status.st_size));
    }
    if (type == DT_DIR) {
      level.subdirectories.emplace_back(name);
    } else if (type == DT_REG) {
      const bool known = ::fstatat(level.fd.get(), name, &status, AT_SYMLINK_NOFOLLOW) == 0;
      Visit(level, name, known ? static_cast<unsigned long long>(status.st_size) : 0);
    } else if (type == DT_LNK) {
      // Counted as the file it points to; a link to anything else (or to nothing) is passed over.
      if (::fstatat(level.fd.get(), name, &status, 0) == 0 && S_ISREG(status.st_mode)) {
        Visit(level, name, static_cast<unsigned long long>(status.st_size));
      }
    }
  }

  void Visit(const Level& level, const char* name, unsigned long long size) {
    path_.resize(level.pathLength);
    AppendName(name);
    visit_(ioPath(path_), size);
  }

  // path_ / name, without doubling a separator the root ends with.
  void AppendName(const char* name) {
    if (!path_.empty() && path_.back() != '/') path_ += '/';
    path_ += name;
  }

  std::string path_;  // the directory being walked, or one of its entries
  const FileVisitor& visit_;
  std::vector<Level> levels_;
  std::vector<std::uint64_t> buffer_ = std::vector<std::uint64_t>(kListingBytes / sizeof(std::uint64_t));
};

}  // namespace

void VisitFilesBelow(const ioPath& root, const FileVisitor& visit) { TreeWalk(root, visit).Run(); }

}  // namespace Tarnix::Core::internal
