// The worker both Linux watchers run (posix/WatchReporters.cpp makes them):
// one inotify instance per watcher with a watch on every directory of the
// tree, and a thread that waits with poll() on the inotify descriptor and an
// eventfd that the destructor signals to stop it. It turns inotify events
// into Changes (added, removed, modified, renamed, overflow, with paths
// relative to the root) and hands each to a Reporter.
//
// posix/DirectoryWatcher.cpp holds the thread, the reading of events and every
// log record; posix/WatchReporters.cpp the two watchers' reporters;
// posix/WatchTree.cpp the bookkeeping that keeps the watches in step with the
// tree: inotify watches single directories, not trees, so a directory created
// or moved in gets a watch (and so do the directories below it), a directory
// moved out loses its watches. A directory that appears can already hold
// files and subdirectories by the time its watch is added; to lose none of
// their changes the worker adds the watch first and lists the directory
// afterwards (see WatchTree).
#pragma once

#include "Filesystem/DirectoryWatcher.h"
#include "RAII/Releasable.h"

#include <sys/inotify.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace Tarnix::Core::posix {

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

// `relative` / `name`, with the root as the empty path.
inline std::string Join(const std::string& relative, const char* name) {
  return relative.empty() ? std::string(name) : relative + '/' + name;
}

// A construction failure: `what` and the system error code, in the message
// the caller logs.
std::runtime_error SystemFailure(const char* what, int error);

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
  // The tree's warnings (written in DirectoryWatcher.cpp with the worker's).
  void WarnUnlisted(const std::string& absolute, std::error_code error) const;
  void WarnUnwatched(const std::string& absolute, int error) const;

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

}  // namespace Tarnix::Core::posix
