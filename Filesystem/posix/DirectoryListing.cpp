// Uses the file type that readdir reports, so that a listing costs no stat
// per entry except for symbolic links and file systems that report no type.
#include "Filesystem/internal/DirectoryListing.h"

#include "Filesystem/internal/FilesystemError.h"
#include "Filesystem/posix/Directory.h"

namespace Tarnix::Core::internal {

bool VisitRegularFiles(const ioPath& directory, const std::function<bool(const ioPath&)>& visit) {
  posix::DirectoryStream stream;
  if (const std::error_code error = stream.Open(directory.platformString().c_str())) {
    if (error == std::errc::no_such_file_or_directory) return false;
    ThrowFilesystemError("Unable to list directory", directory, error);
  }
  const std::error_code error = stream.ForEach([&](const posix::DirectoryEntry& entry) {
    return entry.type(/*followLinks=*/true) == posix::DirectoryEntry::Type::Regular &&
           visit(directory / ioPath(entry.name()));
  });
  if (error) ThrowFilesystemError("Unable to list directory", directory, error);
  return true;
}

}  // namespace Tarnix::Core::internal
