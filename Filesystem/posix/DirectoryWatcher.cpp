// The Linux watcher: one inotify instance per watcher with a watch on every
// directory of the tree, and a worker thread that waits with poll() on the
// inotify descriptor and an eventfd that the destructor signals to stop it.
//
// inotify watches single directories, not trees, so the worker keeps the set
// of watches in step with the tree: a directory created or moved in gets a
// watch (and so do the directories below it), a directory moved out loses its
// watches. A directory that appears can already hold files and subdirectories
// by the time its watch is added; to lose none of their changes the worker
// adds the watch first and lists the directory afterwards (see WatchTree).
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

#include <array>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
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

// The inotify event each kind reports (for files only).
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

class DirectoryWatcher final : public IDirectoryWatcher {
 public:
  DirectoryWatcher(const ioPath& directory, WatchEvent kind, std::function<void()> callback);
  ~DirectoryWatcher() override;

  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

 private:
  // Initial: the constructor's walk, which throws when the system refuses a
  // watch. Later: the worker's, which logs, goes on, and reports the files it
  // finds in directories it had not watched before.
  enum class Walk { Initial, Later };

  // A directory renamed away from inside the tree: its watches stay until the
  // matching IN_MOVED_TO shows where it went, or go when none comes.
  struct DirectoryMove {
    std::uint32_t cookie;
    std::uint64_t read;    // the read that delivered the IN_MOVED_FROM
    std::vector<int> wds;  // the moved directory and everything below it
  };

  void WatchLoop();
  [[nodiscard]] bool ReadEvents();
  void Handle(const inotify_event& event);
  void WatchTree(const std::string& top, Walk walk, std::unordered_set<int>* seen = nullptr);
  [[nodiscard]] int AddWatch(const std::string& directory, Walk walk, bool& fresh);
  void ForgetDirectoryMoves(std::uint64_t readBefore);
  void Rescan();
  void Report();

  std::function<void()> callback_;
  const std::uint32_t reportedEvent_;
  const std::uint32_t watchMask_;
  const std::string root_;
  Releasable<int> inotify_;
  Releasable<int> stopEvent_;
  std::atomic<bool> stopping_{false};

  // Worker thread only, once the constructor has started it.
  std::vector<std::uint32_t> buffer_;             // 32-bit words: inotify_event's alignment
  std::unordered_map<int, std::string> watches_;  // watch descriptor -> directory path
  std::array<std::uint32_t, 64> fileMoves_{};     // cookies of recent IN_MOVED_FROM of files
  std::size_t nextFileMove_ = 0;
  std::vector<DirectoryMove> directoryMoves_;
  std::uint64_t reads_ = 0;
  bool rescan_ = false;

  std::thread thread_;
};

constexpr std::uint32_t kStructureEvents =
    IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::size_t kBufferSize = 64 * 1024;

DirectoryWatcher::DirectoryWatcher(const ioPath& directory, WatchEvent kind, std::function<void()> callback)
    : callback_(std::move(callback)),
      reportedEvent_(ReportedEventFor(kind)),
      watchMask_(kStructureEvents | (reportedEvent_ == IN_MODIFY ? IN_MODIFY : 0)),
      root_(directory.utf8string()) {
  const int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  const int inotifyError = errno;
  inotify_ = MakeReleasableFd(inotify);
  if (!inotify_.owned()) throw SystemFailure("CreateEventW failed for notify event", inotifyError);

  const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  const int stopError = errno;
  stopEvent_ = MakeReleasableFd(stop);
  if (!stopEvent_.owned()) throw SystemFailure("CreateEventW failed for stop event", stopError);

  buffer_.resize(kBufferSize / sizeof(std::uint32_t));
  WatchTree(root_, Walk::Initial);
  thread_ = std::thread(&DirectoryWatcher::WatchLoop, this);
}

DirectoryWatcher::~DirectoryWatcher() {
  stopping_.store(true, std::memory_order_relaxed);
  const std::uint64_t one = 1;
  (void)RetryOnEintr([&] { return ::write(stopEvent_.get(), &one, sizeof one); });
  if (thread_.joinable()) thread_.join();
  // The members release the eventfd, then the inotify descriptor (which drops
  // every watch with it), then the callback.
}

void DirectoryWatcher::WatchLoop() {
  pollfd fds[2] = {{stopEvent_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
  for (;;) {
    // No time-out: an idle watcher sleeps here until a change or the stop.
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) continue;  // EINTR, or a transient failure: wait again
    if (fds[0].revents != 0) return;
    if ((fds[1].revents & POLLIN) != 0 && !ReadEvents()) return;
  }
}

// Reads and handles events until the queue is empty. False when the worker
// must end: a stop was requested or inotify failed.
bool DirectoryWatcher::ReadEvents() {
  for (;;) {
    const ssize_t got =
        RetryOnEintr([&] { return ::read(inotify_.get(), buffer_.data(), buffer_.size() * sizeof(buffer_[0])); });
    if (got <= 0) {
      if (got < 0 && errno != EAGAIN) return false;
      ForgetDirectoryMoves(reads_ + 1);
      if (rescan_) Rescan();
      return !stopping_.load(std::memory_order_relaxed);
    }
    ++reads_;
    for (ssize_t offset = 0; offset < got;) {
      if (stopping_.load(std::memory_order_relaxed)) return false;
      // The kernel pads each name so that the next event is aligned again.
      const auto* event =
          reinterpret_cast<const inotify_event*>(reinterpret_cast<const char*>(buffer_.data()) + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      Handle(*event);
    }
    // A rename split over two reads has its IN_MOVED_TO at the start of the
    // next one; moves older than that went out of the tree.
    ForgetDirectoryMoves(reads_);
  }
}

void DirectoryWatcher::Handle(const inotify_event& event) {
  if ((event.mask & IN_Q_OVERFLOW) != 0) {
    // Like a batch that did not fit: nothing to report, but say that changes were lost.
    LOG(WARNING) << "Changes below " << root_ << " were lost: the queue of change notifications overflowed "
                 << "(its length is limited by /proc/sys/fs/inotify/max_queued_events)";
    rescan_ = true;
    return;
  }
  if ((event.mask & IN_IGNORED) != 0) {
    watches_.erase(event.wd);
    return;
  }
  const auto watch = watches_.find(event.wd);
  if (watch == watches_.end()) return;  // a watch already dropped; its last events are stale

  if ((event.mask & IN_ISDIR) == 0) {
    if ((event.mask & IN_MODIFY) != 0) {
      if (reportedEvent_ == IN_MODIFY) Report();
    } else if ((event.mask & IN_MOVED_FROM) != 0) {
      fileMoves_[nextFileMove_++ % fileMoves_.size()] = event.cookie;
    } else if ((event.mask & IN_MOVED_TO) != 0) {
      // Only a rename inside the tree counts; a file moved in from outside is a creation.
      for (auto& cookie : fileMoves_) {
        if (cookie != event.cookie || cookie == 0) continue;
        cookie = 0;
        if (reportedEvent_ == IN_MOVED_TO) Report();
        break;
      }
    }
    return;
  }

  const std::string path = watch->second + "/" + event.name;
  if ((event.mask & IN_MOVED_FROM) != 0) {
    DirectoryMove move{event.cookie, reads_, {}};
    const std::string below = path + "/";
    for (const auto& [wd, directory] : watches_) {
      if (directory == path || directory.compare(0, below.size(), below) == 0) move.wds.push_back(wd);
    }
    directoryMoves_.push_back(std::move(move));
    return;
  }
  if ((event.mask & IN_MOVED_TO) != 0) {
    for (auto move = directoryMoves_.begin(); move != directoryMoves_.end(); ++move) {
      if (move->cookie == event.cookie) {
        directoryMoves_.erase(move);
        break;
      }
    }
  }
  // Created, moved in, or renamed inside the tree: (re)watch it. For a rename
  // the watches stay and only their paths change.
  if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0) WatchTree(path, Walk::Later);
}

// Watches `top` and every directory below it. The watch on a directory is
// added before the directory is listed, so an entry made after the listing is
// reported by the watch and one made before it is found by the listing: each
// subdirectory is watched the same way, and (for Modified) each non-empty
// regular file in a directory that was not watched before counts as written.
// A file written after the watch and found by the listing is reported twice.
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

    posix::DirectoryStream listing;
    if (const std::error_code error = listing.Open(directory.c_str())) {
      if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) continue;  // gone again
      if (walk == Walk::Initial && error != std::errc::permission_denied) {
        throw SystemFailure("ReadDirectoryChangesW failed", error.value());
      }
      LOG(WARNING) << "Cannot list " << directory << ": " << error.message() << " (error " << error.value()
                   << "); changes in directories below it may not be reported";
      continue;
    }
    const bool reportFiles = fresh && walk == Walk::Later && reportedEvent_ == IN_MODIFY;
    // A listing that fails half-way shows what it could; the watches stand.
    (void)listing.ForEach([&](const posix::DirectoryEntry& entry) {
      using Type = posix::DirectoryEntry::Type;
      const Type type = entry.type(/*followLinks=*/false);
      if (type == Type::Directory) {
        pending.push_back(directory + "/" + entry.name());
      } else if (reportFiles && type == Type::Regular) {
        struct stat status {};
        if (entry.status(/*followLinks=*/false, &status) && status.st_size > 0) Report();
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
  const int wd = ::inotify_add_watch(inotify_.get(), directory.c_str(), watchMask_);
  if (wd < 0) {
    const int error = errno;
    if (walk == Walk::Initial && directory == root_) throw SystemFailure("CreateFileW failed", error);
    if (error == ENOENT || error == ENOTDIR) return -1;  // removed or replaced since it was seen
    if (walk == Walk::Initial && error != EACCES) throw SystemFailure("ReadDirectoryChangesW failed", error);
    LOG(WARNING) << "Cannot watch " << directory << " for changes: " << std::generic_category().message(error)
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

// Drops the watches of directories that were renamed away in a read before
// `readBefore` and whose new name never appeared inside the tree.
void DirectoryWatcher::ForgetDirectoryMoves(std::uint64_t readBefore) {
  for (auto move = directoryMoves_.begin(); move != directoryMoves_.end();) {
    if (move->read >= readBefore) {
      ++move;
      continue;
    }
    for (const int wd : move->wds) {
      if (watches_.erase(wd) != 0) (void)::inotify_rm_watch(inotify_.get(), wd);
    }
    move = directoryMoves_.erase(move);
  }
}

// After an overflow the watches may no longer match the tree: watch what is
// there now and drop the watches of directories that are not. Directories
// seen for the first time are handled like new ones (their non-empty files
// count as written); the overflow itself reports nothing.
void DirectoryWatcher::Rescan() {
  rescan_ = false;
  std::unordered_set<int> seen;
  WatchTree(root_, Walk::Later, &seen);
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

// Callback exceptions are logged and the worker goes on: it keeps reporting,
// the rest of the events read with the failing one included. inotify has no
// batches of its own (a read returns whatever has queued up), so dropping "the
// rest of the batch" would drop an arbitrary number of changes.
void DirectoryWatcher::Report() {
  try {
    callback_();
  } catch (const std::exception& e) {
    LOG(ERROR) << e.what();
  }
}

}  // namespace

std::unique_ptr<IDirectoryWatcher> CreatePlatformDirectoryWatcher(const ioPath& directory, WatchEvent kind,
                                                                  std::function<void()> callback) {
  return std::make_unique<DirectoryWatcher>(directory, kind, std::move(callback));
}

}  // namespace Tarnix::Core
