// Junctions on Linux are symbolic links holding the target text exactly as it
// was passed; any symbolic link counts as a junction.
#include "Filesystem/internal/DirectoryLink.h"

#include "Filesystem/internal/ReparseRecord.h"
#include "Filesystem/posix/SystemCall.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>

namespace Tarnix::Core::internal {

bool LinkEntryExists(const ioPath& link) {
  struct stat status {};
  return ::lstat(link.platformString().c_str(), &status) == 0;
}

std::error_code LinkEntryLastWriteTime(const ioPath& link, long long* seconds) {
  struct stat status {};
  if (::lstat(link.platformString().c_str(), &status) != 0) return posix::LastError();
  *seconds = status.st_mtim.tv_sec;
  return {};
}

LinkReading ReadDirectoryLink(const ioPath& link) {
  LinkReading reading;
  // Link texts are limited to PATH_MAX bytes, so this never truncates.
  std::array<char, kReparseBufferSize> buffer;
  const ssize_t length = ::readlink(link.platformString().c_str(), buffer.data(), buffer.size());
  if (length < 0) {
    reading.error = posix::LastError();
    // EINVAL: the entry is there but is no symbolic link.
    if (reading.error == std::errc::invalid_argument) reading.state = LinkReading::State::NotALink;
    return reading;
  }
  reading.state = LinkReading::State::Link;
  reading.target = ioPath(std::string(buffer.data(), static_cast<std::size_t>(length)));
  reading.mountPoint = true;
  return reading;
}

LinkCreation CreateDirectoryLink(const ioPath& link, const ioPath& target, const ioPath& /*prefixedTarget*/) {
  // One call makes the whole link, so there is no half-made state to undo.
  if (::symlink(target.platformString().c_str(), link.platformString().c_str()) != 0) {
    return {LinkCreationStep::SetTarget, posix::LastError()};
  }
  return {};
}

}  // namespace Tarnix::Core::internal
