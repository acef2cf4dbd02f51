#include "support/Mounts.h"

#include "support/Test.h"

#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
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

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// The shutdown ioctl ext4 and XFS share, and its flag that drops the log too.
constexpr unsigned long kShutdown = _IOR('X', 125, std::uint32_t);
constexpr std::uint32_t kShutdownNoLogFlush = 2;

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

LoopFileSystem::LoopFileSystem(const ioPath& image, const ioPath& at, const std::string& type,
                               const std::vector<std::string>& mkfsOptions, unsigned long long bytes)
    : image_(image), at_(at), type_(type) {
  if (::geteuid() != 0 || ::access("/dev/loop-control", R_OK | W_OK) != 0) {
    error_ = "loop devices need root and /dev/loop-control";
    return;
  }
  if (!(error_ = PrivateMountNamespace()).empty()) return;
  {
    const int fd = ::open(image.platformString().c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool sized = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    if (fd >= 0) ::close(fd);
    if (!sized) {
      error_ = SystemError("cannot make the image " + image.utf8string());
      return;
    }
  }
  const std::string mkfs = "mkfs." + type;
  std::vector<std::string> arguments{mkfs, "-q"};
  arguments.insert(arguments.end(), mkfsOptions.begin(), mkfsOptions.end());
  arguments.push_back(image.platformString());
  const int pid = Fork([&] {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    return 127;
  });
  if (const int status = WaitForChild(pid); status != 0) {
    error_ = mkfs + " failed with status " + std::to_string(status) + (status == 127 ? " (not installed)" : "");
    return;
  }
  error_ = MountImage();
}

std::string LoopFileSystem::MountImage() {
  const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) return SystemError("/dev/loop-control");
  std::string failure;
  // Another process may take the free device first: ask again then.
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
    if (number < 0) {
      failure = SystemError("no free loop device");
      break;
    }
    // Containers may lack the node of a device the kernel has just made.
    const std::string device = "/dev/loop" + std::to_string(number);
    if (::access(device.c_str(), F_OK) != 0) ::mknod(device.c_str(), S_IFBLK | 0600, makedev(7, number));
    const int loop = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    const int backing = ::open(image_.platformString().c_str(), O_RDWR | O_CLOEXEC);
    if (loop < 0 || backing < 0) {
      failure = SystemError("cannot open " + device + " or the image");
      if (loop >= 0) ::close(loop);
      if (backing >= 0) ::close(backing);
      break;
    }
    // Cleared by the kernel once the mount is gone, however this process ends.
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
    const bool attached = ::ioctl(loop, LOOP_CONFIGURE, &config) == 0;
    if (!attached) failure = SystemError("cannot attach " + device);
    ::close(backing);
    const bool busy = !attached && errno == EBUSY;
    if (attached && ::mount(device.c_str(), at_.platformString().c_str(), type_.c_str(), 0, nullptr) != 0) {
      failure = SystemError("cannot mount " + device + " as " + type_);
    } else if (attached) {
      failure.clear();
      mounted_ = true;
    }
    ::close(loop);  // the mount holds the device now
    if (!busy) break;
  }
  ::close(control);
  return failure;
}

std::string LoopFileSystem::CutPower() {
  const int fd = ::open(at_.platformString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return SystemError("cannot open " + at_.utf8string());
  std::uint32_t flags = kShutdownNoLogFlush;
  const bool cut = ::ioctl(fd, kShutdown, &flags) == 0;
  ::close(fd);
  if (!cut) return SystemError("the shutdown ioctl failed");
  return {};
}

std::string LoopFileSystem::Remount() {
  if (::umount2(at_.platformString().c_str(), 0) != 0) return SystemError("cannot unmount");
  mounted_ = false;
  return MountImage();
}

LoopFileSystem::~LoopFileSystem() {
  if (mounted_) ::umount2(at_.platformString().c_str(), MNT_DETACH);
}

}  // namespace Tarnix::Test
