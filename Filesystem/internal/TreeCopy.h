// The one tree copier: CopyDir copies with it, and so does ioPath::rename
// when it has to copy a tree to another file system.
//
// Both follow the same rules: the tree below `source` is copied level by
// level into `destination` (existing directories are merged into, missing
// ones created; a symbolic link in the destination where a directory goes is
// replaced by a real directory, never written through); symbolic links in the
// source are followed (a link to a directory is copied as a directory, a link
// to a file as a file); every file is staged out of sight and replaces its
// destination only whole (internal/CopyBatch.h). The copies are made durable
// in batches: when the copier returns true, every file and every name it
// wrote survives a power cut. They differ in what a failure means:
#pragma once

#include "Filesystem/ioPath.h"

#include <functional>

namespace Tarnix::Core::internal {

enum class TreeCopyRule {
  // CopyDir: a file that cannot be copied is passed over (its destination
  // keeps what it had) and the walk goes on; only a directory that cannot be
  // listed, examined or created stops it.
  PassOverFailedFiles,
  // A move: every entry must be copied (only directories and regular files
  // can be); the first failure stops the copy. What was copied stays.
  EveryEntry,
};

// Makes `destination` a real directory to copy the directory `source` into:
// a symbolic link there is removed (never written through), and a missing
// directory is made (under EveryEntry with `source`'s permissions, as a move
// keeps them). False when that fails; throws filesystem_error when the
// destination cannot be examined.
bool MakeTargetDirectory(const ioPath& source, const ioPath& destination, TreeCopyRule rule);

// Copies the tree below the directory `source` into the existing directory
// `destination`. True when the walk reached its end (and, under EveryEntry,
// copied every entry). Throws boost::filesystem::filesystem_error only from
// opening or advancing the listing of `source` itself; failures below it
// make the result false.
// `copied` (when given) hears of each file copied, with its size, and of
// each directory copied with its tree, with 0.
bool CopyTree(const ioPath& source, const ioPath& destination, TreeCopyRule rule,
              const std::function<void(unsigned long long bytes)>& copied = {});

}  // namespace Tarnix::Core::internal
