#include "Filesystem/internal/TreeCopy.h"

#include "Filesystem/internal/CopyBatch.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include <cstdint>

namespace fs = boost::filesystem;

namespace Tarnix::Core::internal {

namespace {

CopyProgressAction KeepGoing(std::uint64_t) { return CopyProgressAction::Continue; }

class TreeCopier {
 public:
  explicit TreeCopier(TreeCopyRule rule) : rule_(rule) {}

  // One level; throws filesystem_error from the listing of `source`.
  bool CopyLevel(const ioPath& source, const ioPath& destination) {
    for (fs::directory_iterator it = source.iterator(), end; it != end; ++it) {
      try {
        if (!CopyEntry(ioPath(it->path()), destination / ioPath(it->path().filename()))) return false;
      } catch (const fs::filesystem_error&) {
        return false;
      }
    }
    return true;
  }

  // Makes what the batch holds durable: once at the end, and whenever it is full.
  bool Commit() {
    const std::error_code error = batch_.Commit();
    return !error || rule_ == TreeCopyRule::PassOverFailedFiles;
  }

 private:
  bool CopyEntry(const ioPath& entry, const ioPath& target) {
    const fs::file_status status = fs::status(entry.platformString());
    if (fs::is_directory(status)) {
      if (target.is_symlink()) target.remove();
      if (!target.exists()) {
        boost::system::error_code ec;
        // A move keeps the directory's permissions; CopyDir makes it as a new directory.
        if (rule_ == TreeCopyRule::EveryEntry) {
          fs::create_directory(target.platformString(), entry.platformString(), ec);
        } else {
          fs::create_directory(target.platformString(), ec);
        }
        if (ec) return false;
      }
      return CopyLevel(entry, target);
    }
    const bool strict = rule_ == TreeCopyRule::EveryEntry;
    if (strict && !fs::is_regular_file(status)) return false;
    if (batch_.Add(entry, target, KeepGoing) && strict) return false;
    return !batch_.Full() || Commit();
  }

  const TreeCopyRule rule_;
  CopyBatch batch_;
};

}  // namespace

bool CopyTree(const ioPath& source, const ioPath& destination, TreeCopyRule rule) {
  TreeCopier copier(rule);
  const bool walked = copier.CopyLevel(source, destination);
  // What was copied before a failure is made durable all the same.
  return copier.Commit() && walked;
}

}  // namespace Tarnix::Core::internal
