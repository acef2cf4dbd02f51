// The files of the caches, the way both caches handle them: read locks,
// removals, and the order of a placement's steps (the new file is made ready,
// moved or copied out of sight, before room is made for it, and room is made
// again whenever someone else took the name meanwhile). Each platform knows
// how to take each step (posix/CacheFiles.cpp, win/CacheFiles.cpp).
#include "Filesystem/internal/CacheFiles.h"

#include "Filesystem/internal/FilesystemError.h"

#include <glog/logging.h>

#include <system_error>
#include <utility>

namespace Tarnix::Core::internal {

namespace {

// The read lock: a lock held on the cached file, or nothing when the file
// could not be locked. It never keeps the path.
class FileReadLock final : public ICacheReadLock {
 public:
  explicit FileReadLock(FileLock lock) noexcept : lock_(std::move(lock)) {}

  explicit FileReadLock(const ioPath& path) {
    if (AcquireReadLock(path, &lock_)) lock_ = FileLock();  // inert, by contract
  }

 private:
  FileLock lock_;
};

// Bounds the rounds of a placement that keeps finding a new file at its
// name: each round made room, so only concurrent writers can make it loop.
constexpr int kPlacementAttempts = 4;

}  // namespace

std::shared_ptr<ICacheReadLock> MakeReadLock(FileLock lock) { return std::make_shared<FileReadLock>(std::move(lock)); }

std::shared_ptr<ICacheReadLock> MakeReadLock(const ioPath& path) { return std::make_shared<FileReadLock>(path); }

bool StaysBelowRoot(const ioPath& relative) {
  static const ioPath::string_type kDotDot(2, '.');
  const ioPath::string_type native = relative.platformString();
  if (native.find(kDotDot) == ioPath::string_type::npos) return true;  // every lookup: keep it cheap
  for (const auto& element : boost::filesystem::path(native)) {
    if (element.native() == kDotDot) return false;
  }
  return true;
}

bool IsNoCacheDirectory(const std::error_code& error) {
  return error == std::errc::no_such_file_or_directory || error == std::errc::too_many_symbolic_link_levels ||
         error == std::errc::not_a_directory;
}

bool RemoveFromCache(const CacheDirectory& directory, const ioPath& name, const ioPath& path) {
  const std::error_code error = RemoveCachedFile(directory, name);
  if (error == std::errc::permission_denied) {
    LOG(WARNING) << "Not removing " << path.utf8string() << ": " << UncheckableForReadersReason();
  }
  return !error || error == std::errc::no_such_file_or_directory;
}

bool PlaceCachedFile(const ioPath& source, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                     const std::function<bool()>& makeRoom) {
  Placement placement;
  const std::error_code error = PlaceFile(source, directory, name, timestamp, makeRoom, &placement);
  if (placement.sourceKept && source.exists()) {
    ThrowFilesystemError("Unable to remove the source of a cached copy", source,
                         std::make_error_code(std::errc::device_or_resource_busy));
  }
  return placement.placed && !error;
}

std::error_code PlaceFile(const ioPath& from, const CacheDirectory& directory, const ioPath& name, long long timestamp,
                          const std::function<bool()>& makeRoom, Placement* placement, Staging staging) {
  *placement = Placement();
  std::unique_ptr<PlacementSource> source;
  if (auto error = OpenPlacementSource(from, directory, name, timestamp, staging, &source)) return error;
  bool move = source->CanMove();
  if (!move) {
    if (auto error = source->Stage()) return error;
  }
  for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
    if (!makeRoom()) return std::make_error_code(std::errc::device_or_resource_busy);
    const std::error_code error = move ? source->Move() : source->Publish();
    if (error == std::errc::file_exists) continue;
    if (error && move) {
      // Refused for another reason (one device seen through two mounts, a
      // reader that came meanwhile, a source directory we may not change):
      // copy it instead.
      move = false;
      if (auto stageError = source->Stage()) return stageError;
      continue;
    }
    if (error) return error;
    placement->placed = true;
    placement->sourceKept = !move && !source->RemoveSource();
    return {};
  }
  return std::make_error_code(std::errc::file_exists);
}

}  // namespace Tarnix::Core::internal
