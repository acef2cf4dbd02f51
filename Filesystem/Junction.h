// Junction: a directory entry that the file system redirects to another
// directory, so one directory is reachable at a second place without a copy.
//
// The object holds only the junction's own path (the link, not its target);
// the target is read from the file system on every call. It is a plain value:
// copies are independent and no handle outlives a call. Calls on distinct
// objects may run on any threads; concurrent calls on one junction path are
// not coordinated (at most one create can succeed).
//
// Failures are reported as false or an empty path and logged through glog at
// ERROR (WARNING for a target that is not a directory yet); paths in the
// messages are quoted by ioPath's stream operator, error codes are decimal.
//
// Linux: a junction is a symbolic link holding the target text exactly as it
// was passed to create, and any symbolic link counts as a junction. Targets
// are meant to be absolute: the kernel resolves a relative link target from
// the link's directory, while targetExists and makeTargetDir use the text as
// given (from the current directory). The target limit of 255 characters
// (UTF-16 units) holds here too.
#pragma once

#include "Filesystem/Export.h"
#include "Filesystem/ioPath.h"

namespace Tarnix::Core {

// A junction at one path: a link to a directory (see the top of this header).
class LUMFILESYSTEM_EXPORT Junction {
 public:
  // An empty junction names no path.
  Junction();
  // Nothing is checked or touched on disk.
  Junction(ioPath path);
  Junction(const Junction& other);
  Junction& operator=(const Junction& other);
  ~Junction();

  // The junction's own path (the link, not its target); empty() when it has none.
  operator ioPath() const;
  const ioPath& path() const;
  bool empty() const;

  // Whether an entry exists at the junction's path; the link itself counts,
  // its target is not consulted. Never throws, never logs.
  bool exists() const;

  // Whether the path is a junction. A plain directory or file gives false
  // silently; a path that cannot be read (missing, no access) gives false and
  // an ERROR "Can't open file <path> with error <code>".
  bool isJunction() const;
  static bool isJunction(const ioPath& path);

  // The target the junction points to; empty (logged as isJunction does) when
  // it cannot be read.
  ioPath targetPath() const;
  // targetPath() is not empty and exists. Throws filesystem_error when the
  // existence test fails for a reason other than not-found.
  bool targetExists() const;
  // Creates the target directory with its parents; true when it exists
  // afterwards, false when the target cannot be read or created.
  bool makeTargetDir();
  static bool makeTargetDir(const ioPath& path);

  // Turns the junction's path into a new junction to `target`, used exactly
  // as passed (not made absolute). False, logged, when an entry already
  // exists at the path, when the target has more than 255 characters, or when
  // the link cannot be made. A target that is not a directory (yet) is logged
  // as a WARNING and the junction is still created. Throws filesystem_error
  // when the target's directory test fails for a reason other than not-found.
  bool create(const ioPath& target);

  // Creates a junction at `destination` with this junction's target; this
  // object is not changed. False, logged, when this junction is missing or is
  // no junction, or when anything exists at `destination`; otherwise as
  // create. The existence test of `destination` may throw filesystem_error.
  bool copy(const ioPath& destination);

  // Removes the link entry, never the target or anything in it. True when an
  // entry was removed; throws filesystem_error on failure (a non-empty
  // directory at the path, no permission).
  bool remove();

  // Renames the link to `newPath` (copying between file systems). This object
  // keeps its old path; construct a new Junction for `newPath` to go on.
  bool rename(const ioPath& newPath);

 private:
  ioPath path_;
};

}  // namespace Tarnix::Core
