// A fresh directory for one test, removed with everything in it afterwards,
// and the file helpers the tests share.
#pragma once

#include "Filesystem/ioPath.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace Tarnix::Test {

class TempDir {
 public:
  // Below `parent`; by default below the system's temporary directory
  // ($TMPDIR or /tmp on Linux, ext4 on our machines).
  explicit TempDir(const std::string& parent = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const ioPath& path() const { return path_; }
  ioPath operator/(const std::string& name) const { return path_ / ioPath(name); }

 private:
  ioPath path_;
};

// Fixture owning a TempDir as `dir_`.
class TempDirTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

namespace detail {
// The platform's half: a new directory below `parent` (empty: the system's
// temporary directory); removing a tree whatever the test left unwritable.
ioPath MakeUniqueDirectory(const std::string& parent);
void ForceRemoveTree(const ioPath& path);
}  // namespace detail

// Writes `contents` to `path`, creating or truncating it.
void WriteFile(const ioPath& path, const std::string& contents);
// The whole contents of `path`; empty when it cannot be read.
std::string ReadFile(const ioPath& path);
// The number of entries in the directory `dir`.
long EntriesIn(const ioPath& dir);
// Sets the last-write time of `path` to `secondsSinceEpoch`.
void SetFileTime(const ioPath& path, long long secondsSinceEpoch);
// Whether both times of `path` are exactly the whole second `seconds`. Check
// before reading the file: that may move the access time.
bool HasBothTimes(const ioPath& path, long long seconds);
// A test directory on another file system than `than`, for moves that must
// copy (/dev/shm on Linux; under Wine another drive; on Windows another local
// drive that takes a folder), or null.
std::unique_ptr<TempDir> TempDirOnOtherFileSystem(const ioPath& than);
// Whether `a` and `b` (both existing) lie on different file systems.
bool OnDifferentFileSystems(const ioPath& a, const ioPath& b);
#ifndef _WIN32
// Makes a symbolic link at `at` to `target`.
void Link(const std::string& target, const ioPath& at);
#endif

}  // namespace Tarnix::Test
