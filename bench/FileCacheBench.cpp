// The file caches against plain system calls doing the same work by hand.
//
//   FileCacheBench [benchmark flags]      lookups (hit, miss) and puts, library vs by hand
//   FileCacheBench --make-tree DIR N      N records of 100 bytes in the hashed layout
//   FileCacheBench --walk DIR             one clean-up walk over DIR that removes nothing
//
// The last two serve bench/cleanup_walk.sh, which times the walk against du -sb.
// Run from a release build; both sides work on the same ext4 directory.
#include "Filesystem/FileCache.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

using Tarnix::ioPath;
using Tarnix::Core::AbstractFileCache;
using Tarnix::Core::FileCache;

namespace {

constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();
constexpr long long kStamp = 1'500'000'000;
const std::string kPayload(100, 'p');

std::string BenchRoot() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumfs-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void WriteSource(const std::string& path) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, kPayload.data(), kPayload.size()) != static_cast<ssize_t>(kPayload.size())) {
    throw std::runtime_error("cannot write " + path);
  }
  ::close(fd);
}

std::string RecordDir(const std::string& root, const std::string& key) {
  return root + "/" + key.substr(0, 2) + "/" + key.substr(2, 2) + "/" + key.substr(4);
}

// --- The same work by hand ---------------------------------------------------

bool StillAtPath(int fd, const char* path) {
  struct stat opened {};
  struct stat named {};
  return ::fstat(fd, &opened) == 0 && ::stat(path, &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// Lists the record directory and read-locks its first regular file. Returns
// the locked descriptor (the caller closes it) or -1.
int FindByHand(const std::string& root, const std::string& key, long long* stamp) {
  const std::string dir = RecordDir(root, key);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return -1;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return -1;
  int locked = -1;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_type != DT_REG) continue;
    const std::string path = dir + "/" + entry->d_name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0 && StillAtPath(fd, path.c_str()) && ::stat(path.c_str(), &st) == 0) {
      *stamp = st.st_mtime;
      locked = fd;
      break;
    }
    ::close(fd);
  }
  ::closedir(listing);
  return locked;
}

// `checked`: also make the calls the library adds around the bare protocol
// (RemoveFile's existence and type tests and boost's lstat before unlinking;
// the put's test that the source does not lie in the record directory; the
// removal lock it holds on the source while moving it).
bool RemoveByHand(const std::string& path, bool checked) {
  struct stat st {};
  if (checked && (::stat(path.c_str(), &st) != 0 || ::stat(path.c_str(), &st) != 0)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && StillAtPath(fd, path.c_str()) &&
                       (!checked || ::lstat(path.c_str(), &st) == 0) && ::unlink(path.c_str()) == 0;
  ::close(fd);
  return removed;
}

// Empties the record directory of regular files, then stamps the source and
// renames it in without replacing.
bool PutByHand(const std::string& root, const std::string& key, const std::string& source, const std::string& name,
               bool checked) {
  struct stat st {};
  if (::stat(source.c_str(), &st) != 0) return false;
  const std::string dir = RecordDir(root, key);
  if (::stat(dir.c_str(), &st) != 0) return false;  // exists already, as in the library run
  if (checked && (::stat(root.c_str(), &st) != 0 || ::stat(dir.c_str(), &st) != 0)) return false;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return false;
  bool cleared = true;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_type == DT_REG && !RemoveByHand(dir + "/" + entry->d_name, checked)) cleared = false;
  }
  ::closedir(listing);
  if (!cleared) return false;
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  const timespec times[2] = {{kStamp, 0}, {kStamp, 0}};
  const bool locked =
      !checked || (::flock(fd, LOCK_EX | LOCK_NB) == 0 && StillAtPath(fd, source.c_str()) && ::fstat(fd, &st) == 0);
  const bool placed =
      fd >= 0 && locked && ::futimens(fd, times) == 0 &&
      ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, (dir + "/" + name).c_str(), RENAME_NOREPLACE) == 0;
  if (fd >= 0) ::close(fd);
  return placed;
}

// --- Benchmarks ----------------------------------------------------------------

struct Fixture {
  std::string root = BenchRoot();
  FileCache cache{ioPath(root), kNoBudget};
  std::string key = AbstractFileCache::MakeCacheKey("benchmark");
  std::string source = root + "/source.bin";
  Fixture() {
    WriteSource(source);
    if (!cache.PutRecord(key, ioPath(source), kStamp)) throw std::runtime_error("setup put failed");
  }
  ~Fixture() { std::system(("rm -rf '" + root + "'").c_str()); }
};

void BM_FindHit_Library(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    auto record = f.cache.FindRecord(f.key);
    if (record.path.empty()) state.SkipWithError("miss");
    benchmark::DoNotOptimize(record);
  }
}

void BM_FindHit_ByHand(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    long long stamp = 0;
    const int fd = FindByHand(f.root, f.key, &stamp);
    if (fd < 0) state.SkipWithError("miss");
    ::close(fd);
    benchmark::DoNotOptimize(stamp);
  }
}

void BM_FindMiss_Library(benchmark::State& state) {
  Fixture f;
  const std::string absent = AbstractFileCache::MakeCacheKey("absent");
  for (auto _ : state) benchmark::DoNotOptimize(f.cache.FindRecord(absent));
}

void BM_FindMiss_ByHand(benchmark::State& state) {
  Fixture f;
  const std::string absent = AbstractFileCache::MakeCacheKey("absent");
  for (auto _ : state) {
    long long stamp = 0;
    benchmark::DoNotOptimize(FindByHand(f.root, absent, &stamp));
  }
}

// Each round writes a new source (the same in both) and puts it over the
// key's previous file, which has to be removed first.
void BM_PutReplace_Library(benchmark::State& state) {
  Fixture f;
  const ioPath source(f.source);
  for (auto _ : state) {
    WriteSource(f.source);
    if (!f.cache.PutRecord(f.key, source, kStamp)) state.SkipWithError("put failed");
  }
}

// Argument 0: the bare protocol; 1: with the library's extra checks.
void BM_PutReplace_ByHand(benchmark::State& state) {
  Fixture f;
  for (auto _ : state) {
    WriteSource(f.source);
    if (!PutByHand(f.root, f.key, f.source, "source.bin", state.range(0) != 0)) state.SkipWithError("put failed");
  }
}

BENCHMARK(BM_FindHit_Library);
BENCHMARK(BM_FindHit_ByHand);
BENCHMARK(BM_FindMiss_Library);
BENCHMARK(BM_FindMiss_ByHand);
BENCHMARK(BM_PutReplace_Library);
BENCHMARK(BM_PutReplace_ByHand)->Arg(0)->Arg(1);

// --- Helpers for the walk script -------------------------------------------------

int MakeTree(const std::string& root, long count) {
  for (long i = 0; i < count; ++i) {
    const std::string dir = RecordDir(root, AbstractFileCache::MakeCacheKey(std::to_string(i)));
    ioPath::create_directories(ioPath(dir));
    WriteSource(dir + "/data.bin");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--make-tree") == 0) return MakeTree(argv[2], std::atol(argv[3]));
  if (argc == 3 && std::strcmp(argv[1], "--walk") == 0) {
    FileCache cache(ioPath(argv[2]), kNoBudget);  // walks the whole tree; removes nothing
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
