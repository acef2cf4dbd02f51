// The removal with std::filesystem: its listing keeps the type the directory
// reports (FindFirstFileExW gives it with each name) and its remove deletes
// without a status query first, so an entry costs its deletion and, for a
// regular file, one query of its size.
#include "Filesystem/internal/TreeRemoval.h"

#include <filesystem>

namespace Tarnix::Core::internal {
namespace {

namespace stdfs = std::filesystem;

// The type of a listed entry, links (and junctions) not followed.
stdfs::file_type ListedType(const stdfs::directory_entry& entry) {
  std::error_code ignored;  // gone meanwhile: not_found, passed over
  if (entry.is_symlink(ignored)) return stdfs::file_type::symlink;
  if (entry.is_directory(ignored)) return stdfs::file_type::directory;
  if (entry.is_regular_file(ignored)) return stdfs::file_type::regular;
  return entry.exists(ignored) ? stdfs::file_type::unknown : stdfs::file_type::not_found;
}

std::uintmax_t Remove(const stdfs::path& path, stdfs::file_type type, const RemovedEntry& removed,
                      std::error_code* error) {
  std::uintmax_t count = 0;
  unsigned long long bytes = 0;
  if (type == stdfs::file_type::not_found) return 0;
  if (type == stdfs::file_type::directory) {
    for (stdfs::directory_iterator it(path, *error), end; !*error && it != end; it.increment(*error)) {
      count += Remove(it->path(), ListedType(*it), removed, error);
      if (*error) return count;
    }
    if (*error) return count;
  } else if (type == stdfs::file_type::regular) {
    std::error_code ignored;
    bytes = stdfs::file_size(path, ignored);
    if (ignored) bytes = 0;
  }
  if (!stdfs::remove(path, *error)) return count;  // gone meanwhile, or failed with `*error` set
  removed(bytes);
  return count + 1;
}

}  // namespace

std::uintmax_t RemoveTreeReporting(const ioPath& path, const RemovedEntry& removed, std::error_code* error) {
  *error = std::error_code();
  const stdfs::path top(path.platformString());
  const stdfs::file_type type = stdfs::symlink_status(top, *error).type();
  if (*error) {
    if (type == stdfs::file_type::not_found) *error = std::error_code();
    return 0;
  }
  return Remove(top, type, removed, error);
}

}  // namespace Tarnix::Core::internal
