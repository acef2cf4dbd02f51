#include "Filesystem/FileOperations.h"

#include "Filesystem/internal/DirectoryLink.h"
#include "Filesystem/internal/FileLocks.h"
#include "Filesystem/internal/TreeCopy.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>

namespace fs = boost::filesystem;

namespace Tarnix::Core {

namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;         // 100 ns ticks
constexpr std::int64_t kTicksPerDay = 864'000'000'000;

std::int64_t NowInTicks() {
  using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, kTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Whole days between `lastWrite` (seconds since 1970) and `now` (ticks),
// truncated toward zero; negative for times in the future.
std::int32_t AgeInDays(std::int64_t lastWrite, std::int64_t now) {
  return static_cast<std::int32_t>((now - lastWrite * kTicksPerSecond) / kTicksPerDay);
}

// The last-write time of a directory entry, symbolic links followed; a link
// whose target is missing is dated by the link itself, since the link is
// what its removal removes. Throws filesystem_error when there is no time.
std::int64_t EntryLastWriteTime(const fs::path& entry) {
  boost::system::error_code ec;
  const std::time_t time = fs::last_write_time(entry, ec);
  if (!ec) return time;
  long long own = 0;
  if (ec == boost::system::errc::no_such_file_or_directory && !internal::LinkEntryLastWriteTime(ioPath(entry), &own)) {
    return own;
  }
  throw fs::filesystem_error("last_write_time", entry, ec);
}

}  // namespace

bool FileExists(const ioPath& path) { return ioPath::exists(path); }

bool RemoveFile(const ioPath& path) {
  ioPath preferred(path);
  preferred.make_preferred();
  if (!ioPath::exists(preferred) || !ioPath::is_regular_file(preferred)) return false;
  try {
    // Held until the unlink is done, so that no reader can lock the file in between.
    internal::FileLock removalLock;
    if (const std::error_code error = internal::AcquireRemovalLock(preferred, &removalLock)) {
      // Whoever can delete it but not open it cannot tell whether its owner reads it.
      if (error == std::errc::permission_denied) {
        LOG(WARNING) << "Not removing " << preferred.utf8string() << ": it cannot be opened to check for readers";
      }
      return false;
    }
    return internal::RemoveLockedFile(preferred);
  } catch (const std::exception&) {
    return false;
  }
}

bool RemoveDir(const ioPath& directory) {
  if (!ioPath::exists(directory) || !ioPath::is_directory(directory)) return false;
  try {
    return ioPath::remove_all(directory) != 0;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

bool RemoveDir(const ioPath& directory, int minAgeDays, bool removeSelf) {
  if (!ioPath::exists(directory) || !ioPath::is_directory(directory)) return false;
  try {
    bool allOld = true;
    std::uint64_t removed = 0;
    for (fs::directory_iterator it = directory.iterator(), end; it != end; ++it) {
      const fs::path& entry = it->path();
      const std::int64_t lastWrite = EntryLastWriteTime(entry);
      if (AgeInDays(lastWrite, NowInTicks()) >= minAgeDays) {
        removed += fs::remove_all(entry);
      } else {
        allOld = false;
      }
    }
    if (removeSelf && allOld) return ioPath::remove(directory);
    return removed != 0;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

bool CopyDir(const ioPath& source, const ioPath& destination) {
  if (!ioPath::exists(source) || !ioPath::is_directory(source)) return false;
  try {
    if (!ioPath::exists(destination) && !ioPath::create_directory(destination)) return false;
  } catch (const fs::filesystem_error&) {
    return false;
  }
  return internal::CopyTree(source, destination, internal::TreeCopyRule::PassOverFailedFiles);
}

}  // namespace Tarnix::Core
