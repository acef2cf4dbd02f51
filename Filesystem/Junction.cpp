// Junctions: the argument checks, the target limit and every log record. The
// link itself is made and read by the platform (internal/DirectoryLink.h).
#include "Filesystem/Junction.h"

#include "Filesystem/internal/DirectoryLink.h"
#include "Filesystem/internal/ReparseRecord.h"

#include <glog/logging.h>

#include <cstddef>
#include <string>
#include <utility>

namespace Tarnix::Core {

namespace {

using internal::LinkReading;

// Reads the link at `path`; a path that cannot be read is logged.
LinkReading Read(const ioPath& path) {
  LinkReading reading = internal::ReadDirectoryLink(path);
  if (reading.state == LinkReading::State::OpenFailed) {
    // The record's text and severity are part of the library's contract: callers match them.
    LOG(ERROR) << "Can't open file " << path << " with error " << static_cast<unsigned>(reading.error.value());
  }
  return reading;
}

// The number of UTF-16 code units the UTF-8 `text` takes: two for each
// character beyond the basic plane (a four-byte sequence), one for any other.
std::size_t Utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (const unsigned char byte : text) {
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
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

bool Junction::exists() const { return internal::LinkEntryExists(path_); }

bool Junction::isJunction() const {
  const LinkReading reading = Read(path_);
  return reading.state == LinkReading::State::Link && reading.mountPoint;
}
bool Junction::isJunction(const ioPath& path) { return Junction(path).isJunction(); }

ioPath Junction::targetPath() const {
  LinkReading reading = Read(path_);
  return reading.state == LinkReading::State::Link ? std::move(reading.target) : ioPath();
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

// Every record below (texts, severities, the number of them) is part of the
// library's contract: callers and their log readers match them.
bool Junction::create(const ioPath& target) {
  if (exists()) {
    LOG(ERROR) << "Can't create junction. The path already exists: " << path_;
    return false;
  }
  if (!ioPath::is_directory(target)) {
    LOG(WARNING) << "The path is not a directory: " << target;
  }
  // The limit is the one NTFS puts on the prefixed target, counted in UTF-16
  // units, so a junction made anywhere can be recreated on Windows.
  const ioPath prefixedTarget = ioPath("\\??\\") + target;
  if (Utf16Length(prefixedTarget.utf8string()) > internal::kMaxPrefixedTargetLength) {
    LOG(ERROR) << "Can't create junction. Target path is too long: " << prefixedTarget;
    return false;
  }
  const internal::LinkCreation made = internal::CreateDirectoryLink(path_, target, prefixedTarget);
  const auto code = static_cast<unsigned>(made.error.value());
  switch (made.failedStep) {
    case internal::LinkCreationStep::None:
      if (exists() && isJunction()) return true;
      break;
    case internal::LinkCreationStep::Create:
      break;
    case internal::LinkCreationStep::Open:
      LOG(ERROR) << "Can't create path " << path_ << " with error " << code;
      break;
    case internal::LinkCreationStep::SetTarget:
      LOG(ERROR) << "Can't create junction " << path_ << " with error " << code;
      break;
  }
  LOG(ERROR) << "Junction configuration failed. Junction: " << path_ << " target: " << target;
  return false;
}

// The records' texts are part of the library's contract, as in create().
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
