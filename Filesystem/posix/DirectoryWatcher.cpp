// The watcher's thread: waiting, reading inotify events and turning them into
// changes for the reporter. See DirectoryWatcher.h.
#include "Filesystem/posix/DirectoryWatcher.h"

#include "Filesystem/posix/SystemCall.h"
#include "Filesystem/posix/UniqueFd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <glog/logging.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <system_error>
#include <utility>

namespace Tarnix::Core::posix {

namespace {

constexpr std::uint32_t kStructureEvents =
    IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::size_t kBufferSize = 64 * 1024;

std::string WatchLimit() {
  std::ifstream in("/proc/sys/fs/inotify/max_user_watches");
  std::string limit;
  return (in >> limit) ? limit : std::string("unknown");
}

}  // namespace

// The message is part of the library's contract: callers log it and match it.
std::runtime_error SystemFailure(const char* what, int error) {
  return std::runtime_error(std::string(what) + ", system error code = " + std::to_string(error));
}

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

// How long an IN_MOVED_FROM that ends the queue waits for its IN_MOVED_TO:
// only a move out of the tree waits this long to be reported.
constexpr int kMoveToWaitMs = 50;

// Reads and handles events until the queue is empty. False when the worker
// must end: a stop was requested or inotify failed.
bool DirectoryWatcher::ReadEvents() {
  bool awaitedMoveTo = false;
  for (;;) {
    const ssize_t got =
        RetryOnEintr([&] { return ::read(inotify_.get(), buffer_.data(), buffer_.size() * sizeof(buffer_[0])); });
    if (got <= 0) {
      if (got < 0 && errno != EAGAIN) return false;
      // The kernel queues a rename's IN_MOVED_FROM and IN_MOVED_TO one after
      // the other, and a read can come between the two (a renamer preempted
      // on a busy machine): the IN_MOVED_TO gets a moment to arrive before
      // the entry counts as moved out. Any event or a stop ends the wait.
      if (pendingMove_ && !awaitedMoveTo) {
        awaitedMoveTo = true;
        pollfd fds[2] = {{stopEvent_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        if (RetryOnEintr([&] { return ::poll(fds, 2, kMoveToWaitMs); }) > 0) {
          if (fds[0].revents != 0) return false;
          continue;
        }
      }
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
    awaitedMoveTo = false;
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
    // Watched before it is reported: whoever hears of a directory moved in
    // and writes in it at once is heard too. (Its listing reports nothing.)
    if (directory) WatchTree(path, Walk::MovedIn);
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

// The tree's warnings are written here, so that every record of the watcher
// comes from this file (DirectoryWatcher.cpp): the file name, like the texts,
// is part of the library's contract.
void DirectoryWatcher::WarnUnlisted(const std::string& absolute, std::error_code error) const {
  LOG(WARNING) << "Cannot list " << absolute << ": " << error.message() << " (error " << error.value()
               << "); changes in directories below it may not be reported";
}

void DirectoryWatcher::WarnUnwatched(const std::string& absolute, int error) const {
  LOG(WARNING) << "Cannot watch " << absolute << " for changes: " << std::generic_category().message(error)
               << " (error " << error << "); changes below it are not reported. Watches per user are limited by "
               << "/proc/sys/fs/inotify/max_user_watches (" << WatchLimit() << "); this watcher watches "
               << watches_.size() << " directories below " << root_;
}

}  // namespace Tarnix::Core::posix
