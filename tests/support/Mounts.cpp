#include "support/Mounts.h"

#include "support/Test.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

namespace Tarnix::Test {

namespace {

constexpr char kSkip[] = "skip: ";

dev_t DeviceOf(const ioPath& path) {
  struct stat st {};
  return ::stat(path.platformString().c_str(), &st) == 0 ? st.st_dev : 0;
}

}  // namespace

std::string SkipMessage(const std::string& why) { return kSkip + why; }

void RunWithPrivateMounts(const std::function<std::string()>& body) {
  const TempDir report;  // the child's message, written before it exits
  const int status = RunInChild([&] {
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
    WriteFile(report / "message", message);
    return 0;
  });
  const std::string message = ReadFile(report / "message");
  if (message.rfind(kSkip, 0) == 0) GTEST_SKIP() << message.substr(sizeof(kSkip) - 1);
  EXPECT_EQ(message, "");
  EXPECT_EQ(status, 0);
}

std::string MountTmpfs(const ioPath& at, unsigned long long bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
  if (::mount("lumfs-test", at.platformString().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return SkipMessage(std::string("cannot mount a tmpfs: ") + std::strerror(errno));
  }
  return {};
}

FuseMount::FuseMount(const ioPath& source, const ioPath& at) : at_(at) {
  const dev_t before = DeviceOf(at);
  if (::access("/dev/fuse", R_OK | W_OK) == 0) {
    daemon_ = Fork([&] {  // in the foreground, so that this object owns the daemon's process
      ::execlp("bindfs", "bindfs", "-f", "--no-allow-other", source.platformString().c_str(),
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
  error_ = SkipMessage("bindfs could not mount (is bindfs installed, is FUSE allowed here?)");
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
