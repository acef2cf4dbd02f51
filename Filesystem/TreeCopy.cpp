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
  TreeCopier(TreeCopyRule rule, const std::function<void(unsigned long long)>& copied)
      : rule_(rule), copied_(copied) {}

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
      if (!MakeTargetDirectory(entry, target, rule_) || !CopyLevel(entry, target)) return false;
      if (copied_) copied_(0);
      return true;
    }
    const bool strict = rule_ == TreeCopyRule::EveryEntry;
    if (strict && !fs::is_regular_file(status)) return false;
    std::uint64_t bytes = 0;
    if (const std::error_code error = batch_.Add(entry, target, KeepGoing, &bytes)) {
      if (strict) return false;
    } else if (copied_) {
      copied_(bytes);
    }
    return !batch_.Full() || Commit();
  }

  const TreeCopyRule rule_;
  const std::function<void(unsigned long long)>& copied_;
  CopyBatch batch_;
};

}  // namespace

bool MakeTargetDirectory(const ioPath& source, const ioPath& destination, TreeCopyRule rule) {
  if (destination.is_symlink()) destination.remove();
  if (destination.exists()) return true;
  boost::system::error_code ec;
  if (rule == TreeCopyRule::EveryEntry) {
    fs::create_directory(destination.platformString(), source.platformString(), ec);
  } else {
    fs::create_directory(destination.platformString(), ec);
  }
  return !ec;
}

bool CopyTree(const ioPath& source, const ioPath& destination, TreeCopyRule rule,
              const std::function<void(unsigned long long bytes)>& copied) {
  TreeCopier copier(rule, copied);
  const bool walked = copier.CopyLevel(source, destination);
  // What was copied before a failure is made durable all the same.
  return copier.Commit() && walked;
}

}  // namespace Tarnix::Core::internal
