// The Linux watchers: the plain one, which calls its callback for the one
// kind of change it was asked for, and the detailed one, which passes every
// change on as a ChangeRecord. Both run the same worker (DirectoryWatcher.h) and
// differ only in their Reporter.
#include "Filesystem/internal/PlatformDirectoryWatcher.h"

#include "Filesystem/posix/DirectoryWatcher.h"

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

namespace Tarnix::Core {
namespace {

using posix::Change;
using posix::DirectoryWatcher;
using posix::Reporter;
using posix::Source;

// The inotify event each plain kind reports (for files only).
const std::map<std::int32_t, std::uint32_t>& ReportedEvents() {
  static const std::map<std::int32_t, std::uint32_t> table = {
      {static_cast<std::int32_t>(WatchEvent::Modified), IN_MODIFY},
      {static_cast<std::int32_t>(WatchEvent::NameChanged), IN_MOVED_TO},
  };
  return table;
}

std::uint32_t ReportedEventFor(WatchEvent kind) {
  const auto found = ReportedEvents().find(static_cast<std::int32_t>(kind));
  // The exception and its text are part of the library's contract.
  if (found == ReportedEvents().end()) throw std::out_of_range("invalid map<K, T> key");
  return found->second;
}

// The plain watcher: Modified is every write of a file the system reports,
// and every non-empty file found in a directory not watched before that was
// created (or, after an overflow, appeared); NameChanged is a file renamed
// within the tree.
Reporter PlainReporter(WatchEvent kind, std::function<void()> callback) {
  const std::uint32_t reported = ReportedEventFor(kind);
  const ChangeAction action = reported == IN_MODIFY ? ChangeAction::Modified : ChangeAction::Renamed;
  return Reporter{reported == IN_MODIFY ? IN_MODIFY : 0u, false,
                  [action, callback = std::move(callback)](const Change& change) {
                    if (change.action == action && !change.directory) callback();
                  }};
}

// The detailed watcher: every change as a record. What a rescan finds is
// left out: the Overflow record already asks the caller to rescan.
Reporter DetailedReporter(ChangeCallback callback) {
  return Reporter{IN_MODIFY | IN_DELETE, true, [callback = std::move(callback)](const Change& change) {
                    if (change.source == Source::Rescan) return;
                    callback(ChangeRecord{change.action, change.path, change.oldPath});
                  }};
}

}  // namespace

std::unique_ptr<IDirectoryWatcher> CreatePlatformDirectoryWatcher(const ioPath& directory, WatchEvent kind,
                                                                  std::function<void()> callback) {
  return std::make_unique<DirectoryWatcher>(directory, PlainReporter(kind, std::move(callback)));
}

std::unique_ptr<IDirectoryWatcher> CreatePlatformChangeWatcher(const ioPath& canonicalDirectory,
                                                               ChangeCallback callback) {
  return std::make_unique<DirectoryWatcher>(canonicalDirectory, DetailedReporter(std::move(callback)));
}

}  // namespace Tarnix::Core
