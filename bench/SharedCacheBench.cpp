// FindRecord (a hit) and PutRecord (a move of a new key) on one cache root,
// beside a program written by hand that makes the fewest system calls the
// same guarantees need: for a find, reach the record directory without
// following links, list it, open and read-lock the file, and check that the
// name still names the locked file (by a fresh listing where names may be
// cached), and unlock before closing; for a put, make the levels, list the new
// directory (a key holds one file), lock the source, stamp it, flush its
// data and give it its name without replacing anything. Every system call is a round trip on a network file
// system, so this is the measure of what the library costs there.
//
//   SharedCacheBench ROOT [runs=5] [operations=100] [only=find-lib|find-hand|put-lib|put-hand]
//
// With `only`, just that one is run (to count its system calls:
// strace -f -c -o FILE SharedCacheBench ROOT 1 100 find-lib).
// ROOT's parent must be writable (sources are written beside ROOT, on the
// same file system, so that puts move). Prints the median over the runs of
// the mean time per operation, and the ratio library / by hand.
// bench/shared_cache_bench.sh runs it on ext4 and through GlusterFS and
// CephFS mounts.
#include "Filesystem/FileCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <glog/logging.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using Tarnix::ioPath;
using namespace Tarnix::Core;
using Clock = std::chrono::steady_clock;

namespace {

constexpr long long kStamp = 1'600'000'000;

void WriteAll(const std::string& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << std::string(size, 'x');
}

void Require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s (%s)\n", what, std::strerror(errno));
    std::exit(1);
  }
}

int OpenBeneath(int at, const std::string& path, int flags) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(::syscall(SYS_openat2, at, path.c_str(), &how, sizeof how));
}

// The first plain, not hidden, regular name in the directory open as `fd`.
std::string FirstFile(int fd) {
  alignas(8) char buffer[4096];
  const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
  for (long offset = 0; offset < n;) {
    const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
    if (entry->d_type == DT_REG && entry->d_name[0] != '.') return entry->d_name;
    offset += entry->d_reclen;
  }
  return {};
}

// Whether `name` in `dir` still names the file open as `fd` (statted as
// `locked`): fstatat on a block device's file system; elsewhere (this program
// knows it measures FUSE there) the name must be in a fresh listing of `dir`
// with the locked file's inode, since the client answers lookups from caches.
bool StillNamed(int dir, const char* name, const struct stat& locked) {
  if (major(locked.st_dev) != 0) {
    struct stat named {};
    return ::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == locked.st_dev &&
           named.st_ino == locked.st_ino;
  }
  if (::lseek(dir, 0, SEEK_SET) != 0) return false;
  alignas(8) char buffer[4096];
  const long n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
  for (long offset = 0; offset < n;) {
    const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
    if (std::strcmp(entry->d_name, name) == 0) return entry->d_ino == locked.st_ino;
    offset += entry->d_reclen;
  }
  return false;
}

// Lets go of a lock before closing its descriptor: on FUSE the close's own
// release reaches the server late, and can take away a lock taken later
// through a new descriptor on the same file.
void Unlock(int fd) {
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

// A hit by hand: true when a locked, checked file was found.
bool FindByHand(const std::string& root, const std::string& key) {
  const std::string relative = key.substr(0, 2) + "/" + key.substr(2, 2) + "/" + key.substr(4);
  const int dir = OpenBeneath(AT_FDCWD, root + "/" + relative, O_RDONLY | O_DIRECTORY);
  if (dir < 0) return false;
  const std::string name = FirstFile(dir);
  bool found = false;
  if (!name.empty()) {
    const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat locked {};
    found = fd >= 0 && ::flock(fd, LOCK_SH | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 &&
            StillNamed(dir, name.c_str(), locked);
    if (fd >= 0) Unlock(fd);
  }
  ::close(dir);
  return found;
}

// A put of a new key by hand (a move): true when the source got its name.
bool PutByHand(const std::string& root, const std::string& key, const std::string& source) {
  const std::string levels[] = {key.substr(0, 2), key.substr(2, 2), key.substr(4)};
  const std::string relative = levels[0] + "/" + levels[1] + "/" + levels[2];
  int dir = OpenBeneath(AT_FDCWD, root + "/" + relative, O_RDONLY | O_DIRECTORY);
  if (dir < 0) {
    std::string made = root;
    for (const std::string& level : levels) {
      made += "/" + level;
      if (::mkdir(made.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    dir = OpenBeneath(AT_FDCWD, root + "/" + relative, O_RDONLY | O_DIRECTORY);
    if (dir < 0) return false;
  }
  bool placed = false;
  if (FirstFile(dir).empty()) {  // nothing to make room for
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat locked {};
    const timespec times[2] = {{kStamp, 0}, {kStamp, 0}};
    const std::string name = source.substr(source.rfind('/') + 1);
    // Data before name: the move must not show a file whose data a power cut loses.
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 && ::futimens(fd, times) == 0 &&
        ::fdatasync(fd) == 0) {
      if (::renameat2(AT_FDCWD, source.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0) {
        placed = true;
      } else if (errno == EINVAL && ::linkat(AT_FDCWD, source.c_str(), dir, name.c_str(), 0) == 0) {
        placed = ::unlink(source.c_str()) == 0;
      }
    }
    if (fd >= 0) Unlock(fd);
  }
  ::close(dir);
  return placed;
}

// The mean time of one of `operations` calls of `operation` (argument: its
// number), in microseconds; `prepare` runs before each one, untimed.
double MeanMicros(int operations, const std::function<void(int)>& prepare, const std::function<void(int)>& operation) {
  Clock::duration total{};
  for (int i = 0; i < operations; ++i) {
    prepare(i);
    const auto start = Clock::now();
    operation(i);
    total += Clock::now() - start;
  }
  return std::chrono::duration<double, std::micro>(total).count() / operations;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ROOT [runs=5] [operations=100]\n", argv[0]);
    return 2;
  }
  FLAGS_minloglevel = google::GLOG_ERROR;
  // The root is the caller's and may be reached through links: resolved once, for both.
  ioPath::create_directories(ioPath(argv[1]));
  char* resolved = ::realpath(argv[1], nullptr);
  Require(resolved != nullptr, "resolve the root");
  const std::string root = resolved;
  std::free(resolved);
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  const int operations = argc > 3 ? std::atoi(argv[3]) : 100;
  const std::string only = argc > 4 ? argv[4] : "";
  const auto wanted = [&](const char* which) { return only.empty() || only == which; };
  const std::string sources = root + "-sources";
  Require(ioPath::create_directories(ioPath(root) / "lib") && ioPath::create_directories(ioPath(root) / "hand") &&
              ioPath::create_directories(ioPath(sources)),
          "make the directories");
  const FileCache cache(ioPath(root) / "lib", ~0ull);
  const std::string hitKey = AbstractFileCache::MakeCacheKey("hit");
  if (cache.FindRecord(hitKey).path.empty()) {
    WriteAll(sources + "/hit", 64 << 10);
    Require(cache.PutRecord(hitKey, ioPath(sources) / "hit", kStamp), "put the record to find");
  }
  if (!FindByHand(root + "/hand", hitKey)) {
    WriteAll(sources + "/hit", 64 << 10);
    Require(PutByHand(root + "/hand", hitKey, sources + "/hit"), "put the record to find by hand");
  }

  std::vector<double> findLib, findHand, putLib, putHand;
  const auto source = [&](int run, int i) { return sources + "/s" + std::to_string(run) + "-" + std::to_string(i); };
  const auto newKey = [&](int run, int i, const char* who) {
    return AbstractFileCache::MakeCacheKey(std::string(who) + std::to_string(run) + "-" + std::to_string(i));
  };
  for (int run = 0; run < runs; ++run) {
    if (wanted("find-lib")) findLib.push_back(MeanMicros(operations, [](int) {}, [&](int) {
      Require(!cache.FindRecord(hitKey).path.empty(), "FindRecord");
    }));
    if (wanted("find-hand")) findHand.push_back(MeanMicros(operations, [](int) {}, [&](int) {
      Require(FindByHand(root + "/hand", hitKey), "find by hand");
    }));
    if (wanted("put-lib")) putLib.push_back(MeanMicros(operations, [&](int i) { WriteAll(source(run, i), 64 << 10); }, [&](int i) {
      Require(cache.PutRecord(newKey(run, i, "lib"), ioPath(source(run, i)), kStamp), "PutRecord");
    }));
    if (wanted("put-hand")) putHand.push_back(MeanMicros(operations, [&](int i) { WriteAll(source(run, i), 64 << 10); }, [&](int i) {
      Require(PutByHand(root + "/hand", newKey(run, i, "hand"), source(run, i)), "put by hand");
    }));
  }
  if (!only.empty()) return 0;
  std::printf("%-28s %12s %12s %7s\n", "median of means (us)", "library", "by hand", "ratio");
  std::printf("%-28s %12.1f %12.1f %7.2f\n", "FindRecord, a hit", Median(findLib), Median(findHand),
              Median(findLib) / Median(findHand));
  std::printf("%-28s %12.1f %12.1f %7.2f\n", "PutRecord, a new key (move)", Median(putLib), Median(putHand),
              Median(putLib) / Median(putHand));
  return 0;
}
