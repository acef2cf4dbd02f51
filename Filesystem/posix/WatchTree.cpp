// Keeping a watcher's inotify watches in step with its tree: watching a tree
// as it comes (created, moved in, found again after an overflow), dropping the
// watches of what moves out. See DirectoryWatcher.h.
#include "Filesystem/posix/DirectoryWatcher.h"

#include "Filesystem/posix/Directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace Tarnix::Core::posix {

// Watches `top` (relative to the root) and every directory below it. The
// watch on a directory is added before the directory is listed, so an entry
// made after the listing is reported by the watch and one made before it is
// found by the listing: each subdirectory is watched the same way. What the
// listing of a directory watched for the first time reports depends on how
// the directory came: for one created since the watch began, its entries
// (as Added) and its non-empty regular files (as Modified: they may have
// been written before the directory was watched); after an overflow the same
// (a reporter may ignore them); for one moved in, nothing, as it brings no
// change with it. A file written after the watch and found by the listing is
// reported Modified twice.
void DirectoryWatcher::WatchTree(const std::string& top, Walk walk, std::unordered_set<int>* seen) {
  std::vector<std::string> pending{top};
  while (!pending.empty()) {
    if (stopping_.load(std::memory_order_relaxed)) return;
    const std::string directory = std::move(pending.back());
    pending.pop_back();
    bool fresh = false;
    const int wd = AddWatch(directory, walk, fresh);
    if (wd < 0) continue;
    if (seen != nullptr) seen->insert(wd);

    const std::string absolute = Absolute(directory);
    posix::DirectoryStream listing;
    if (const std::error_code error = listing.Open(absolute.c_str())) {
      if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) continue;  // gone again
      if (walk == Walk::Initial && error != std::errc::permission_denied) {
        throw SystemFailure("ReadDirectoryChangesW failed", error.value());
      }
      WarnUnlisted(absolute, error);
      continue;
    }
    const bool reportEntries = fresh && (walk == Walk::Created || walk == Walk::Rescan);
    const Source source = walk == Walk::Created ? Source::NewDirectory : Source::Rescan;
    // A listing that fails half-way shows what it could; the watches stand.
    (void)listing.ForEach([&](const posix::DirectoryEntry& entry) {
      using Type = posix::DirectoryEntry::Type;
      const Type type = entry.type(/*followLinks=*/false);
      if (type == Type::Missing) return stopping_.load(std::memory_order_relaxed);
      const std::string path = Join(directory, entry.name());
      if (type == Type::Directory) pending.push_back(path);
      if (reportEntries) {
        if (reporter_.listsEntries && source == Source::NewDirectory) listed_[wd].insert(entry.name());
        Report(ChangeAction::Added, type == Type::Directory, path, source);
        struct stat status {};
        if (type == Type::Regular && entry.status(/*followLinks=*/false, &status) && status.st_size > 0) {
          Report(ChangeAction::Modified, false, path, source);
        }
      }
      return stopping_.load(std::memory_order_relaxed);
    });
  }
}

// Adds (or refreshes) the watch on one directory and returns its descriptor;
// -1 when it is not watched: it has gone, or the system refused (logged, or
// thrown while the constructor walks the tree). `fresh` tells whether it was
// unwatched before.
int DirectoryWatcher::AddWatch(const std::string& directory, Walk walk, bool& fresh) {
  const std::string absolute = Absolute(directory);
  const int wd = ::inotify_add_watch(inotify_.get(), absolute.c_str(), watchMask_);
  if (wd < 0) {
    const int error = errno;
    if (walk == Walk::Initial && directory.empty()) throw SystemFailure("CreateFileW failed", error);
    if (error == ENOENT || error == ENOTDIR) return -1;  // removed or replaced since it was seen
    if (walk == Walk::Initial && error != EACCES) throw SystemFailure("ReadDirectoryChangesW failed", error);
    WarnUnwatched(absolute, error);
    return -1;
  }
  const auto [watch, inserted] = watches_.try_emplace(wd, directory);
  if (!inserted) watch->second = directory;
  fresh = inserted;
  return wd;
}

// Whether the listing of the directory of watch `wd` reported `name`; forgets
// it, since an entry of that name that the next event tells of is a new one.
bool DirectoryWatcher::TakeListed(int wd, const char* name) {
  const auto directory = listed_.find(wd);
  return directory != listed_.end() && directory->second.erase(name) != 0;
}

// The pending IN_MOVED_FROM got no IN_MOVED_TO: its entry left the tree, and
// a directory's watches go with it.
void DirectoryWatcher::MovedOut() {
  const PendingMove move = std::move(*pendingMove_);
  pendingMove_.reset();
  for (const int wd : move.wds) {
    listed_.erase(wd);
    if (watches_.erase(wd) != 0) (void)::inotify_rm_watch(inotify_.get(), wd);
  }
  Report(ChangeAction::Removed, move.directory, move.path);
}

// After an overflow the watches may no longer match the tree: watch what is
// there now and drop the watches of directories that are not.
void DirectoryWatcher::Rescan() {
  rescan_ = false;
  std::unordered_set<int> seen;
  WatchTree(std::string(), Walk::Rescan, &seen);
  if (stopping_.load(std::memory_order_relaxed)) return;
  for (auto watch = watches_.begin(); watch != watches_.end();) {
    if (seen.count(watch->first) != 0) {
      ++watch;
      continue;
    }
    (void)::inotify_rm_watch(inotify_.get(), watch->first);
    watch = watches_.erase(watch);
  }
}

std::string DirectoryWatcher::Absolute(const std::string& relative) const {
  if (relative.empty()) return root_;
  return root_.back() == '/' ? root_ + relative : root_ + '/' + relative;
}

}  // namespace Tarnix::Core::posix
