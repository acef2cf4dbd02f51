// The Linux watchers: one inotify instance per watcher with a watch on every
// directory of the tree, and a worker thread that waits with poll() on the
// inotify descriptor and an eventfd that the destructor signals to stop it.
//
// inotify watches single directories, not trees, so the worker keeps the set
// of watches in step with the tree: a directory created or moved in gets a
// watch (and so do the directories below it), a directory moved out loses its
// watches. A directory that appears can already hold files and subdirectories
// by the time its watch is added; to lose none of their changes the worker
// adds the watch first and lists the directory afterwards (see WatchTree).
//
// Both watchers run the same worker (DirectoryWatcher): it turns inotify
// events into Changes (added, removed, modified, renamed, overflow, with
// paths relative to the root) and hands each to a Reporter. The plain
// watcher's reporter calls its callback for the one kind it was asked for;
// the detailed watcher's passes every change on as a ChangeRecord.
#include "Filesystem/internal/PlatformDirectoryWatcher.h"

#include "Filesystem/posix/Directory.h"
#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"
#include "RAII/Releasable.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glog/logging.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace Tarnix::Core {
namespace {

using posix::MakeReleasableFd;
using posix::RetryOnEintr;

// Where a change was learnt: from an inotify event, or from the listing of a
// directory whose watch had just been added.
enum class Source {
  Event,
  NewDirectory,  // a directory created after the watch started: what it holds was made since
  Rescan,        // a directory first seen by the rescan after an overflow: created or moved in
};

// One change, as both watchers see it. Paths are relative to the root.
struct Change {
  ChangeAction action;
  bool directory;
  Source source;
  const std::string& path;
  const std::string& oldPath;  // Renamed only; empty otherwise
};

// How one kind of watcher uses the worker.
struct Reporter {
  std::uint32_t events;  // inotify events it needs beyond those that track the tree (IN_MODIFY, IN_DELETE)
  // Whether the listing of a new directory reports its entries as Added. Such
  // an entry can also arrive as an event (it was made after the watch began
  // but before the listing); that event is then dropped.
  bool listsEntries;
  std::function<void(const Change&)> report;  // may throw; the worker logs it and goes on
};

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
  if (found == ReportedEvents().end()) throw std::out_of_range("invalid map<K, T> key");
  return found->second;
}

std::runtime_error SystemFailure(const char* what, int error) {
  return std::runtime_error(std::string(what) + ", system error code = " + std::to_string(error));
}

std::string WatchLimit() {
  std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
  std::string limit;
  return (in >> limit) ? limit : std::string("unknown");
}

// `relative` / `name`, with the root as the empty path.
std::string Join(const std::string& relative, const char* name) {
  return relative.empty() ? std::string(name) : relative + '/' + name;
}

class DirectoryWatcher final : public IDirectoryWatcher {
 public:
  DirectoryWatcher(const ioPath& directory, Reporter reporter);
  ~DirectoryWatcher() override;

  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

 private:
  // Initial: the constructor's walk, which throws when the system refuses a
  // watch. The others are the worker's, which log and go on; they differ in
  // what the listings of directories not watched before report.
  enum class Walk { Initial, Created, MovedIn, Rescan };

  // An IN_MOVED_FROM waiting for its IN_MOVED_TO, which the kernel queues
  // right behind it when the new name lies inside the tree.
  struct PendingMove {
    std::uint32_t cookie;
    std::string path;
    bool directory;
    std::vector<int> wds;  // a directory's watches: its own and those below it
  };

  void WatchLoop();
  [[nodiscard]] bool WaitAfterFailure(int error, int failures);
  [[nodiscard]] bool ReadEvents();
  void Handle(const inotify_event& event);
  void WatchTree(const std::string& top, Walk walk, std::unordered_set<int>* seen = nullptr);
  [[nodiscard]] int AddWatch(const std::string& directory, Walk walk, bool& fresh);
  [[nodiscard]] bool TakeListed(int wd, const char* name);
  void MovedOut();
  void Rescan();
  void Report(ChangeAction action, bool directory, const std::string& path, Source source = Source::Event,
              const std::string& oldPath = std::string());
  std::string Absolute(const std::string& relative) const;

  Reporter reporter_;
  const std::uint32_t watchMask_;
  const std::string root_;
  Releasable<int> inotify_;
  Releasable<int> stopEvent_;
  std::atomic<bool> stopping_{false};
  std::mutex stopMutex_;                // guards the wait for stopping_ after a failed poll
  std::condition_variable stopSignal_;  // notified (under stopMutex_) when stopping_ is set

  // Worker thread only, once the constructor has started it.
  std::vector<std::uint32_t> buffer_;             // 32-bit words: inotify_event's alignment
  std::unordered_map<int, std::string> watches_;  // watch descriptor -> directory, relative to the root
  // Entries that listings of new directories reported, per directory watch,
  // until the queue has been read empty: their events may still be queued.
  std::unordered_map<int, std::unordered_set<std::string>> listed_;
  std::optional<PendingMove> pendingMove_;
  bool rescan_ = false;

  std::thread thread_;
};

constexpr std::uint32_t kStructureEvents =
    IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::size_t kBufferSize = 64 * 1024;

DirectoryWatcher::DirectoryWatcher(const ioPath& directory, Reporter reporter)
    : reporter_(std::move(reporter)), watchMask_(kStructureEvents | reporter_.events), root_(directory.utf8string()) {
  const int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const int inotifyError = errno;
  inotify_ = MakeReleasableFd(inotify);
  if (!inotify_.owned()) throw SystemFailure("CreateEventW failed for notify event", inotifyError);

  const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int stopError = errno;
  stopEvent_ = MakeReleasableFd(stop);
  if (!stopEvent_.owned()) throw SystemFailure("CreateEventW failed for stop event", stopError);

  buffer_.resize(kBufferSize / sizeof(std::uint32_t));
  WatchTree(std::string(), Walk::Initial);
  thread_ = std::thread(&DirectoryWatcher::WatchLoop, this);
}

DirectoryWatcher::~DirectoryWatcher() {
  {
    std::lock_guard<std::mutex> lock(stopMutex_);
    stopping_.store(true, std::memory_order_relaxed);
  }
  stopSignal_.notify_all();
  const std::uint64_t one = 1;
  (void)RetryOnEintr([&] { return ::write(stopEvent_.get(), &one, sizeof one); });
  if (thread_.joinable()) thread_.join();
  // The members release the eventfd, then the inotify descriptor (which drops
  // every watch with it), then the reporter with the caller's callback.
}

void DirectoryWatcher::WatchLoop() {
  pollfd fds[2] = {{stopEvent_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
  int failures = 0;  // polls failed in a row
  for (;;) {
    // No time-out: an idle watcher sleeps here until a change or the stop.
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (!WaitAfterFailure(error, ++failures)) return;
      continue;
    }
    failures = 0;
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & POLLIN) != 0 && !ReadEvents()) return;
  }
}

// A poll that fails for another reason than a signal would fail again at
// once: wait a little longer after each failure in a row (up to a second),
// unless a stop comes. The first failure of a run is logged. False when the
// worker must end.
bool DirectoryWatcher::WaitAfterFailure(int error, int failures) {
  if (failures == 1) {
    LOG(WARNING) << "Waiting for changes below " << root_ << " failed: " << std::generic_category().message(error)
                 << " (error " << error << "); retrying";
  }
  const auto delay = std::chrono::milliseconds(1 << std::min(failures - 1, 10));
  std::unique_lock<std::mutex> lock(stopMutex_);
  return !stopSignal_.wait_for(lock, delay, [this] { return stopping_.load(std::memory_order_relaxed); });
}

// Reads and handles events until the queue is empty. False when the worker
// must end: a stop was requested or inotify failed.
bool DirectoryWatcher::ReadEvents() {
  for (;;) {
    const ssize_t got =
        RetryOnEintr([&] { return ::read(inotify_.get(), buffer_.data(), buffer_.size() * sizeof(buffer_[0])); });
    if (got <= 0) {
      if (got < 0 && errno != EAGAIN) return false;
      // Everything that happened before the last listing has been read now.
      listed_.clear();
      if (pendingMove_) MovedOut();
      if (rescan_) Rescan();
      return !stopping_.load(std::memory_order_relaxed);
    }
    for (ssize_t offset = 0; offset < got;) {
      if (stopping_.load(std::memory_order_relaxed)) return false;
      // The kernel pads each name so that the next event is aligned again.
      const auto* event =
          reinterpret_cast<const inotify_event*>(reinterpret_cast<const char*>(buffer_.data()) + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      Handle(*event);
    }
  }
}

void DirectoryWatcher::Handle(const inotify_event& event) {
  // A rename inside the tree queues IN_MOVED_FROM and IN_MOVED_TO back to
  // back; any other event after an IN_MOVED_FROM means that it went out.
  if (pendingMove_ && !((event.mask & IN_MOVED_TO) != 0 && event.cookie == pendingMove_->cookie)) MovedOut();

  if ((event.mask & IN_Q_OVERFLOW) != 0) {
    LOG(WARNING) << "Changes below " << root_ << " were lost: the queue of change notifications overflowed "
                 << "(its length is limited by /proc/sys/fs/inotify/max_queued_events)";
    rescan_ = true;
    Report(ChangeAction::Overflow, false, std::string());
    return;
  }
  if ((event.mask & IN_IGNORED) != 0) {
    watches_.erase(event.wd);
    listed_.erase(event.wd);
    return;
  }
  const auto watch = watches_.find(event.wd);
  if (watch == watches_.end()) return;  // a watch already dropped; its last events are stale

  const bool directory = (event.mask & IN_ISDIR) != 0;
  std::string path = Join(watch->second, event.name);
  if ((event.mask & IN_MODIFY) != 0) {
    if (!directory) Report(ChangeAction::Modified, false, path);
  } else if ((event.mask & IN_CREATE) != 0) {
    if (TakeListed(event.wd, event.name)) return;  // reported, and watched, by the listing
    Report(ChangeAction::Added, directory, path);
    if (directory) WatchTree(path, Walk::Created);
  } else if ((event.mask & IN_DELETE) != 0) {
    (void)TakeListed(event.wd, event.name);
    Report(ChangeAction::Removed, directory, path);
  } else if ((event.mask & IN_MOVED_FROM) != 0) {
    (void)TakeListed(event.wd, event.name);
    PendingMove move{event.cookie, path, directory, {}};
    if (directory) {
      const std::string below = path + '/';
      for (const auto& [wd, watched] : watches_) {
        if (watched == path || watched.compare(0, below.size(), below) == 0) move.wds.push_back(wd);
      }
    }
    pendingMove_ = std::move(move);
  } else if ((event.mask & IN_MOVED_TO) != 0) {
    const bool listed = TakeListed(event.wd, event.name);
    if (pendingMove_) {
      // Renamed inside the tree; a directory keeps its watches, whose paths change below.
      const PendingMove move = std::move(*pendingMove_);
      pendingMove_.reset();
      if (listed) {
        Report(ChangeAction::Removed, directory, move.path);  // the new name was reported as Added
      } else {
        Report(ChangeAction::Renamed, directory, path, Source::Event, move.path);
      }
    } else if (!listed) {
      Report(ChangeAction::Added, directory, path);
    }
    if (directory) WatchTree(path, Walk::MovedIn);
  }
}

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
      LOG(WARNING) << "Cannot list " << absolute << ": " << error.message() << " (error " << error.value()
                   << "); changes in directories below it may not be reported";
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
    LOG(WARNING) << "Cannot watch " << absolute << " for changes: " << std::generic_category().message(error)
                 << " (error " << error << "); changes below it are not reported. Watches per user are limited by "
                 << "/proc/sys/fs/inotify/max_user_watches (" << WatchLimit() << "); this watcher watches "
                 << watches_.size() << " directories below " << root_;
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

// Reporter exceptions are logged and the worker goes on: it keeps reporting,
// the rest of the events read with the failing one included. inotify has no
// batches of its own (a read returns whatever has queued up), so dropping "the
// rest of the batch" would drop an arbitrary number of changes.
void DirectoryWatcher::Report(ChangeAction action, bool directory, const std::string& path, Source source,
                              const std::string& oldPath) {
  try {
    reporter_.report(Change{action, directory, source, path, oldPath});
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
  }
}

std::string DirectoryWatcher::Absolute(const std::string& relative) const {
  if (relative.empty()) return root_;
  return root_.back() == '/' ? root_ + relative : root_ + '/' + relative;
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
