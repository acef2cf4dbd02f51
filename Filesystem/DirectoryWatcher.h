// Directory watching: a callback, on a thread of the watcher's own, whenever a
// change of a chosen kind happens anywhere below a directory (the plain
// watcher), or for every change with the entry and what happened to it (the
// detailed watcher, CreateChangeWatcher below).
//
//   auto factory = Tarnix::Core::CreateDirectoryWatcherFactory();
//   auto watcher = factory->CreateWatcher(dir, Tarnix::Core::WatchEvent::Modified, [] { ... });
//   auto detailed = Tarnix::Core::CreateChangeWatcher(dir, [](const Tarnix::Core::ChangeRecord& r) { ... });
//
// A watcher reports from the moment CreateWatcher returns it until it is
// destroyed; its destructor stops the worker thread at once and joins it
// (a callback in progress is waited for). Watchers do not depend on the
// factory that made them: the factory may be released first.
//
// Threading: CreateWatcher may be called from any number of threads at once.
// The callback runs on the watcher's worker thread, never on the caller's,
// one call at a time per watcher; it must guard the state it shares with
// other threads itself. Never destroy a watcher from inside its own callback.
//
// Failure: CreateWatcher never lets a std::exception out. Each failure (not a
// directory, a kind other than Modified or NameChanged, the system refusing
// to watch, no thread, no memory) logs the exception's text once at ERROR and
// yields an empty pointer; the callback is then never called.
//
// Linux: one inotify instance per watcher, with a watch on every directory
// of the tree (subdirectories created or moved in later included), so a
// watcher on a large tree uses one of the user's inotify watches
// (/proc/sys/fs/inotify/max_user_watches) per directory. Symbolic links are
// not followed into other trees. A file written in a new directory before
// the directory's own watch began is found by a listing of it and counts as
// written (Modified); the files of a directory moved in were not written and
// give no Modified. Destroying a watcher takes some milliseconds: the kernel
// waits for a grace period when an inotify instance is closed.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Tarnix::Core {

// The kind of change a watcher reports. Any other value makes CreateWatcher fail.
enum class WatchEvent : std::int32_t {
  // A file's contents were written (each write the system reports is one call;
  // several writes may be reported as one, one write may give several calls).
  Modified = 1,
  // A file was renamed within the watched tree: one call per rename. Creating,
  // deleting or moving a file in from outside, and renaming directories, give none.
  NameChanged = 2,
};

// A running watch. Destroying it ends the watch.
struct LUMFILESYSTEM_EXPORT IDirectoryWatcher {
  // The interface holds no state; a watcher is handed out as a unique_ptr.
  IDirectoryWatcher();
  IDirectoryWatcher(const IDirectoryWatcher& other);
  IDirectoryWatcher& operator=(const IDirectoryWatcher& other);
  virtual ~IDirectoryWatcher();
};

// Makes watchers (CreateDirectoryWatcherFactory); holds no state.
struct LUMFILESYSTEM_EXPORT IDirectoryWatcherFactory {
  // The interface holds no state; copies are independent.
  IDirectoryWatcherFactory();
  IDirectoryWatcherFactory(const IDirectoryWatcherFactory& other);
  IDirectoryWatcherFactory& operator=(const IDirectoryWatcherFactory& other);
  virtual ~IDirectoryWatcherFactory();

  // Starts watching `directory` (relative paths are resolved against the
  // current directory; the watch follows the canonical path). Returns an
  // armed watcher, or an empty pointer after one ERROR log record.
  virtual std::unique_ptr<IDirectoryWatcher> CreateWatcher(const ioPath& directory, WatchEvent kind,
                                                           std::function<void()> callback) = 0;
};

// A new, independent factory; empty (after an ERROR log record) only when
// memory is exhausted.
LUMFILESYSTEM_EXPORT std::shared_ptr<IDirectoryWatcherFactory> CreateDirectoryWatcherFactory();

// --- The detailed watcher: which entry changed, and how -----------------------
//
// Directories are entries too: creating, removing and renaming one gives a
// record like a file's (a directory is never Modified). The values are those
// of the system's change records on Windows (added 1, removed 2, modified 3),
// where a rename comes as an old-name and a new-name record that the watcher
// joins into one Renamed.

// What happened to one entry below a watched directory.
enum class ChangeAction : std::int32_t {
  Added = 1,     // created, or moved in from outside the tree
  Removed = 2,   // deleted, or moved out of the tree
  Modified = 3,  // its contents were written
  Renamed = 4,   // renamed inside the tree: oldPath -> path
  Overflow = 5,  // changes were lost (the system's queue overflowed); paths empty: rescan
};

// One change below a watched directory, as the detailed watcher reports it.
struct ChangeRecord {
  ChangeAction action;  // what happened
  std::string path;     // UTF-8, relative to the watched root, the platform's preferred separator
  std::string oldPath;  // Renamed only: where it was
};

// Receives each change record, on the watcher's own thread.
using ChangeCallback = std::function<void(const ChangeRecord& record)>;

// Starts watching `directory` and reports every change below it to
// `callback`, on the watcher's own thread, one record per change, in the
// order the system reports them. Same threading, lifetime and failure rules
// as CreateWatcher: an empty pointer after one ERROR record; a callback that
// throws is logged at ERROR and reporting goes on.
//
// What a caller can count on:
// - Nothing is lost below directories created after the watch started: the
//   entries (and non-empty files, as Modified) that a new directory already
//   holds when its own watch begins are reported from a listing of it.
//   A directory moved in from outside is one Added record: its contents
//   were not changed, so they give none.
// - Modified: one record per write the system reports. The system merges
//   repeated writes it has not delivered yet, so a burst of writes may give
//   fewer records, and a file written while its new directory was being
//   listed may give two.
// - A rename is Renamed when both names lie inside the tree; a move out is
//   Removed, a move in Added. Moving a directory out removes everything
//   below it from the watch (one Removed record, for the directory).
// - Overflow: the system dropped changes; the watch goes on (new directories
//   included), and the caller should rescan what it keeps of the tree.
//
// Linux: as for CreateWatcher, one inotify watch per directory of the tree.
LUMFILESYSTEM_EXPORT std::unique_ptr<IDirectoryWatcher> CreateChangeWatcher(const ioPath& directory,
                                                                         ChangeCallback callback);

}  // namespace Tarnix::Core
