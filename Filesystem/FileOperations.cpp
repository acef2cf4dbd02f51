#include "Filesystem/FileOperations.h"

#include "Filesystem/internal/DirectoryLink.h"
#include "Filesystem/internal/FileLocks.h"
#include "Filesystem/internal/TreeCopy.h"
#include "Filesystem/internal/TreeRemoval.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <glog/logging.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>
#include <system_error>

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

// The running totals of a tree operation, passed on to its progress callback
// after each entry; does nothing without one.
class ProgressTally {
 public:
  explicit ProgressTally(const TreeProgressCallback* callback) : callback_(callback && *callback ? callback : nullptr) {}

  bool wanted() const { return callback_ != nullptr; }

  void Add(unsigned long long bytes) {
    if (!callback_) return;
    ++totals_.entries;
    totals_.bytes += bytes;
    (*callback_)(totals_);
  }

 private:
  const TreeProgressCallback* callback_;
  TreeProgress totals_;
};

// Removes `path` with everything below it, telling `tally` about each entry.
std::uintmax_t RemoveTree(const ioPath& path, ProgressTally& tally, std::error_code* error) {
  return internal::RemoveTreeReporting(path, [&](unsigned long long bytes) { tally.Add(bytes); }, error);
}

// Removes one direct entry of a directory being cleaned up by age; throws
// filesystem_error when that fails, as fs::remove_all does.
std::uintmax_t RemoveEntry(const fs::path& entry, ProgressTally& tally) {
  if (!tally.wanted()) return fs::remove_all(entry);
  std::error_code error;
  const std::uintmax_t removed = RemoveTree(ioPath(entry), tally, &error);
  if (error) throw fs::filesystem_error("remove_all", entry, boost::system::error_code(error));
  return removed;
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
        LOG(WARNING) << "Not removing " << preferred.utf8string() << ": " << internal::UncheckableForReadersReason();
      }
      return false;
    }
    return internal::RemoveLockedFile(preferred);
  } catch (const std::exception&) {
    return false;
  }
}

bool RemoveDir(const ioPath& directory) { return RemoveDir(directory, TreeProgressCallback()); }

bool RemoveDir(const ioPath& directory, const TreeProgressCallback& progress) {
  if (!ioPath::exists(directory) || !ioPath::is_directory(directory)) return false;
  ProgressTally tally(&progress);
  try {
    if (!tally.wanted()) return ioPath::remove_all(directory) != 0;
    std::error_code error;
    return RemoveTree(directory, tally, &error) != 0 && !error;
  } catch (const fs::filesystem_error&) {
    return false;
  }
}

bool RemoveDir(const ioPath& directory, int minAgeDays, bool removeSelf) {
  return RemoveDir(directory, minAgeDays, removeSelf, TreeProgressCallback());
}

bool RemoveDir(const ioPath& directory, int minAgeDays, bool removeSelf, const TreeProgressCallback& progress) {
  if (!ioPath::exists(directory) || !ioPath::is_directory(directory)) return false;
  ProgressTally tally(&progress);
  try {
    bool allOld = true;
    std::uint64_t removed = 0;
    for (fs::directory_iterator it = directory.iterator(), end; it != end; ++it) {
      const fs::path& entry = it->path();
      const std::int64_t lastWrite = EntryLastWriteTime(entry);
      if (AgeInDays(lastWrite, NowInTicks()) >= minAgeDays) {
        removed += RemoveEntry(entry, tally);
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
  return CopyDir(source, destination, TreeProgressCallback());
}

bool CopyDir(const ioPath& source, const ioPath& destination, const TreeProgressCallback& progress) {
  if (!ioPath::exists(source) || !ioPath::is_directory(source)) return false;
  try {
    if (!ioPath::exists(destination) && !ioPath::create_directory(destination)) return false;
  } catch (const fs::filesystem_error&) {
    return false;
  }
  ProgressTally tally(&progress);
  return internal::CopyTree(source, destination, internal::TreeCopyRule::PassOverFailedFiles,
                            [&tally](unsigned long long bytes) { tally.Add(bytes); });
}

}  // namespace Tarnix::Core
