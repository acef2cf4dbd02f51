// Junctions on Linux: symbolic links to directories.
//
// The link holds the target text exactly as passed to create; any symbolic
// link counts as a junction. The messages, severities and the target limit
// are those of the NTFS implementation, so logs read the same everywhere.
#include "Filesystem/Junction.h"
#include "Filesystem/internal/ReparseRecord.h"
#include "Filesystem/posix/SystemCall.h"

#include <glog/logging.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>

namespace Tarnix::Core {

namespace {

enum class LinkRead { Ok, NotALink, Failed };

// Reads the link text at `path` into `target`. A path that is no symbolic
// link is NotALink, silently; a path that cannot be read is logged.
LinkRead ReadLink(const ioPath& path, std::string* target) {
  // Link texts are limited to PATH_MAX bytes, so this never truncates.
  std::array<char, internal::kReparseBufferSize> buffer;
  const auto native = path.platformString();
  const ssize_t length = ::readlink(native.c_str(), buffer.data(), buffer.size());
  if (length < 0) {
    const std::error_code error = posix::LastError();
    if (error == std::errc::invalid_argument) return LinkRead::NotALink;
    LOG(ERROR) << "Can't open file " << path << " with error " << static_cast<unsigned>(error.value());
    return LinkRead::Failed;
  }
  if (target != nullptr) target->assign(buffer.data(), static_cast<std::size_t>(length));
  return LinkRead::Ok;
}

// The number of UTF-16 code units `text` takes (wchar_t is UTF-32 here).
std::size_t Utf16Length(const std::wstring& text) {
  std::size_t units = 0;
  for (wchar_t c : text) units += static_cast<std::uint32_t>(c) > 0xFFFF ? 2 : 1;
  return units;
}

}  // namespace

Junction::Junction() = default;
Junction::Junction(ioPath path) : path_(std::move(path)) {}
Junction::Junction(const Junction& other) = default;
Junction& Junction::operator=(const Junction& other) = default;
Junction::~Junction() = default;

Junction::operator ioPath() const { return path_; }
const ioPath& Junction::path() const { return path_; }
bool Junction::empty() const { return path_.empty(); }

bool Junction::exists() const {
  struct stat status {};
  return ::lstat(path_.platformString().c_str(), &status) == 0;
}

bool Junction::isJunction() const { return ReadLink(path_, nullptr) == LinkRead::Ok; }
bool Junction::isJunction(const ioPath& path) { return Junction(path).isJunction(); }

ioPath Junction::targetPath() const {
  std::string target;
  if (ReadLink(path_, &target) != LinkRead::Ok) return ioPath();
  return ioPath(target);
}

bool Junction::targetExists() const {
  const ioPath target = targetPath();
  return !target.empty() && ioPath::exists(target);
}

bool Junction::makeTargetDir() {
  const ioPath target = targetPath();
  return !target.empty() && ioPath::create_directories(target);
}
bool Junction::makeTargetDir(const ioPath& path) { return Junction(path).makeTargetDir(); }

bool Junction::create(const ioPath& target) {
  if (exists()) {
    LOG(ERROR) << "Can't create junction. The path already exists: " << path_;
    return false;
  }
  if (!ioPath::is_directory(target)) {
    LOG(WARNING) << "The path is not a directory: " << target;
  }
  // The limit is the one NTFS puts on the prefixed target, counted in UTF-16
  // units, so a junction that works here can be recreated there.
  const ioPath prefixedTarget = ioPath("\\??\\") + target;
  if (Utf16Length(prefixedTarget.wstring()) > internal::kMaxPrefixedTargetLength) {
    LOG(ERROR) << "Can't create junction. Target path is too long: " << prefixedTarget;
    return false;
  }
  if (::symlink(target.platformString().c_str(), path_.platformString().c_str()) != 0) {
    const std::error_code error = posix::LastError();
    LOG(ERROR) << "Can't create junction " << path_ << " with error " << static_cast<unsigned>(error.value());
  } else if (exists() && isJunction()) {
    return true;
  }
  LOG(ERROR) << "Junction configuration failed. Junction: " << path_ << " target: " << target;
  return false;
}

bool Junction::copy(const ioPath& destination) {
  if (!exists()) {
    LOG(ERROR) << "Can't copy junction. The path does not exists: " << path_;
    return false;
  }
  if (ioPath::exists(destination)) {
    LOG(ERROR) << "Can't copy junction. The path already exists: " << destination;
    return false;
  }
  if (!isJunction()) {
    LOG(ERROR) << "Can't copy junction. The path is not a junction: " << path_;
    return false;
  }
  return Junction(destination).create(targetPath());
}

bool Junction::remove() { return ioPath::remove(path_); }

bool Junction::rename(const ioPath& newPath) { return ioPath::rename(path_, newPath); }

}  // namespace Tarnix::Core
