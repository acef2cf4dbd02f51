#include "Filesystem/posix/FileSystemKind.h"

#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

namespace Tarnix::Core::posix {

namespace {

bool IsSharedType(unsigned long type) {
  switch (type) {
    case FUSE_SUPER_MAGIC:
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case 0xFE534D42ul:  // SMB2
    case 0xFF534D42ul:  // CIFS
    case 0x00C36400ul:  // CephFS (kernel client)
    case 0x01161970ul:  // GFS2
    case 0x7461636Ful:  // OCFS2
    case AFS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// The kinds learnt so far, per device number. A device number is given again
// to a later mount (of any kind), so the table is emptied whenever the mount
// table changes: /proc/self/mountinfo reports a change as a priority event to
// poll() until it is read again.
class KnownKinds {
 public:
  // The kind known for `device`, if any: 1 shared, 0 local, -1 unknown.
  int Find(dev_t device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (MountTableChanged()) known_.clear();
    for (const auto& [known, shared] : known_) {
      if (known == device) return shared ? 1 : 0;
    }
    return -1;
  }

  void Remember(dev_t device, bool shared) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!mounts_) return;  // changes could not be seen
    if (known_.size() >= 64) known_.clear();
    known_.emplace_back(device, shared);
  }

 private:
  // Also true for a new process (a forked child watches its own table) and
  // when the table cannot be watched.
  bool MountTableChanged() {
    const pid_t pid = ::getpid();
    if (pid != pid_) {
      pid_ = pid;
      mounts_.reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
      Rearm();
      return true;
    }
    if (!mounts_) return true;
    pollfd watch{mounts_.get(), POLLPRI, 0};
    if (RetryOnEintr([&] { return ::poll(&watch, 1, 0); }) == 0) return false;
    Rearm();
    return true;
  }

  // Reading the table makes its current state the one the next change is
  // measured from.
  void Rearm() {
    if (!mounts_) return;
    char buffer[4096];
    ::lseek(mounts_.get(), 0, SEEK_SET);
    if (::read(mounts_.get(), buffer, sizeof buffer) < 0) mounts_.reset();
  }

  std::mutex mutex_;
  pid_t pid_ = 0;
  UniqueFd mounts_;
  std::vector<std::pair<dev_t, bool>> known_;
};

KnownKinds& Kinds() {
  static auto* kinds = new KnownKinds;  // never destroyed: used by destructors that run at exit
  return *kinds;
}

}  // namespace

bool IsSharedFileSystem(int fd, dev_t device) noexcept {
  try {
    KnownKinds& kinds = Kinds();
    if (const int known = kinds.Find(device); known >= 0) return known == 1;
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    const bool shared = IsSharedType(static_cast<unsigned long>(fs.f_type));
    kinds.Remember(device, shared);
    return shared;
  } catch (...) {  // no memory for the table: ask every time
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && IsSharedType(static_cast<unsigned long>(fs.f_type));
  }
}

}  // namespace Tarnix::Core::posix
