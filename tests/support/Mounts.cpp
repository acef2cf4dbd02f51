#include "support/Mounts.h"

#include "support/ChildProcess.h"
#include "support/Wait.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Tarnix::Test {

namespace {

constexpr char kSkip[] = "skip: ";

dev_t DeviceOf(const ioPath& path) {
  struct stat st {};
  return ::stat(path.platformString().c_str(), &st) == 0 ? st.st_dev : 0;
}

}  // namespace

std::string SkipMessage(const std::string& why) { return kSkip + why; }

MountOutcome RunWithPrivateMounts(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  const int pid = Fork([&] {
    ::close(fds[0]);
    std::string message;
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      message = SkipMessage(std::string("no mount namespace of our own: ") + std::strerror(errno));
    } else {
      try {
        message = body();
      } catch (const std::exception& e) {
        message = std::string("exception: ") + e.what();
      }
    }
    message.resize(std::min<std::size_t>(message.size(), 4000));  // fits the pipe: read after the exit
    if (!message.empty() && ::write(fds[1], message.data(), message.size()) < 0) return 2;
    return 0;
  });
  ::close(fds[1]);
  const int status = WaitForChild(pid);
  std::string message(4096, '\0');
  const ssize_t got = ::read(fds[0], message.data(), message.size());
  ::close(fds[0]);
  message.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  if (status != 0 && message.empty()) message = "child ended with status " + std::to_string(status);
  if (message.rfind(kSkip, 0) == 0) return {true, message.substr(sizeof(kSkip) - 1)};
  return {false, message};
}

std::string MountTmpfs(const ioPath& at, unsigned long long bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  if (::mount("lumfs-test", at.platformString().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return SkipMessage(std::string("cannot mount a tmpfs: ") + std::strerror(errno));
  }
  return {};
}

FuseMount::FuseMount(const ioPath& source, const ioPath& at) : at_(at) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    error_ = SkipMessage("no /dev/fuse");
    return;
  }
  const dev_t before = DeviceOf(at);
  const std::string from = source.platformString();
  const std::string to = at.platformString();
  daemon_ = Fork([&] {
    // In the foreground, so that this object owns the daemon's process.
    ::execlp("bindfs", "bindfs", "-f", "--no-allow-other", from.c_str(), to.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  int status = 0;
  const bool mounted = WaitUntil([&] {
    if (::waitpid(daemon_, &status, WNOHANG) == daemon_) return true;
    return DeviceOf(at) != before;
  });
  if (!mounted || DeviceOf(at) == before) {
    if (::waitpid(daemon_, &status, WNOHANG) == 0) {
      ::kill(daemon_, SIGKILL);
      WaitForChild(daemon_);
    }
    daemon_ = -1;
    error_ = SkipMessage("bindfs could not mount (is bindfs installed, is FUSE allowed here?)");
  }
}

FuseMount::~FuseMount() {
  if (daemon_ < 0) return;
  // The daemon ends by itself once its mount is gone.
  ::umount2(at_.platformString().c_str(), MNT_DETACH);
  if (!WaitUntil([&] { return ::waitpid(daemon_, nullptr, WNOHANG) == daemon_; })) {
    ::kill(daemon_, SIGKILL);
    WaitForChild(daemon_);
  }
}

}  // namespace Tarnix::Test
