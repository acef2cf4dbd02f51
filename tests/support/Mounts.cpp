#include "support/Mounts.h"

#include "support/Test.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

namespace Tarnix::Test {

namespace {

dev_t DeviceOf(const ioPath& path) {
  struct stat st {};
  return ::stat(path.platformString().c_str(), &st) == 0 ? st.st_dev : 0;
}

// Moves this process (the calling thread, and the threads and processes it
// makes afterwards) to a mount namespace of its own, once. Empty on success.
std::string PrivateMountNamespace() {
  static const std::string refused = [] {
    if (::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return std::string();
    return std::string("no mount namespace of our own: ") + std::strerror(errno);
  }();
  return refused;
}

}  // namespace

Mount::Mount(const ioPath& at, unsigned long long tmpfsBytes) : at_(at), error_(PrivateMountNamespace()) {
  const std::string options = "size=" + std::to_string(tmpfsBytes) + ",mode=0777";
  if (error_.empty() &&
      ::mount("lumfs-test", at.platformString().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    error_ = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
  }
}

Mount::Mount(const ioPath& at, const ioPath& fuseSource) : at_(at), error_(PrivateMountNamespace()) {
  const dev_t before = DeviceOf(at);
  if (!error_.empty()) return;
  if (::access("/dev/fuse", R_OK | W_OK) == 0) {
    daemon_ = Fork([&] {  // in the foreground, so that this object owns the daemon's process
      ::execlp("bindfs", "bindfs", "-f", "--no-allow-other", fuseSource.platformString().c_str(),
               at.platformString().c_str(), static_cast<char*>(nullptr));
      return 127;
    });
    WaitUntil([&] { return DeviceOf(at) != before || ::waitpid(daemon_, nullptr, WNOHANG) == daemon_; });
  }
  if (DeviceOf(at) != before) return;
  if (daemon_ > 0 && ::waitpid(daemon_, nullptr, WNOHANG) == 0) {
    ::kill(daemon_, SIGKILL);
    WaitForChild(daemon_);
  }
  daemon_ = -1;
  error_ = "bindfs could not mount (is bindfs installed, is FUSE allowed here?)";
}

Mount::~Mount() {
  if (!error_.empty()) return;
  // A FUSE daemon ends by itself once its mount is gone.
  ::umount2(at_.platformString().c_str(), MNT_DETACH);
  if (daemon_ > 0 && !WaitUntil([&] { return ::waitpid(daemon_, nullptr, WNOHANG) == daemon_; })) {
    ::kill(daemon_, SIGKILL);
    WaitForChild(daemon_);
  }
}

}  // namespace Tarnix::Test
