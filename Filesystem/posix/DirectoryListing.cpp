// Uses the file type that readdir reports, so that a listing costs no stat
// per entry except for symbolic links and file systems that report no type.
#include "Filesystem/internal/DirectoryListing.h"

#include <boost/filesystem/exception.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace Tarnix::Core::internal {

namespace {

struct CloseDir {
  void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

[[noreturn]] void ThrowListingError(const ioPath& directory, int error) {
  throw boost::filesystem::filesystem_error("Unable to list directory",
                                            boost::filesystem::path(directory.platformString()),
                                            boost::system::error_code(error, boost::system::generic_category()));
}

bool IsRegularFile(DIR* dir, const dirent& entry) {
  if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) return entry.d_type == DT_REG;
  struct stat st {};
  return ::fstatat(::dirfd(dir), entry.d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool VisitRegularFiles(const ioPath& directory, const std::function<bool(const ioPath&)>& visit) {
  const std::unique_ptr<DIR, CloseDir> dir(::opendir(directory.platformString().c_str()));
  if (!dir) {
    if (errno == ENOENT) return false;
    ThrowListingError(directory, errno);
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) ThrowListingError(directory, errno);
      return true;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (IsRegularFile(dir.get(), *entry) && visit(directory / ioPath(entry->d_name))) return true;
  }
}

}  // namespace Tarnix::Core::internal
