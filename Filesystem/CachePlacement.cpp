// Placing a file into a cache and taking old ones away, the way both caches do it.
#include "Filesystem/internal/CacheFiles.h"
#include "Filesystem/internal/FilePlacement.h"
#include "Filesystem/internal/FilesystemError.h"

#include <glog/logging.h>

#include <system_error>

namespace Tarnix::Core::internal {

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
    LOG(WARNING) << "Not removing " << path.utf8string() << ": it cannot be opened to check for readers";
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

}  // namespace Tarnix::Core::internal
