// Nothing is lost or exposed under faults (a full disk, a process killed in
// the middle of a put or a copy, a file system without unnamed temporary
// files), by concurrent use of a cache, or by two users on one root. Test
// file systems are mounted in a mount namespace of the test's own (skipped,
// with the reason, where the machine refuses).
#include "Filesystem/CopyFiles.h"
#include "Filesystem/FileCache.h"
#include "Filesystem/FileOperations.h"
#include "Filesystem/FlatFileCache.h"

#include "support/Mounts.h"
#include "support/Test.h"

#include <cstdlib>
#include <limits>

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)

constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();
constexpr long long kStamp = 1'600'000'000;
const std::string kKey = AbstractFileCache::MakeCacheKey("fault");

// A file that says which stamp made it and whose length and letter follow from it: torn or mixed files show.
std::string Payload(long long stamp, std::size_t unit = 256 << 10) {
  return std::to_string(stamp) + "\n" + std::string(unit * (1 + stamp % 5), static_cast<char>('a' + stamp % 26));
}

// Whether `path` holds a whole Payload (of `stamp`, when given).
bool Intact(const ioPath& path, long long stamp = 0, std::size_t unit = 256 << 10) {
  const std::string contents = ReadFile(path);
  const long long made = std::atoll(contents.c_str());
  return made != 0 && (stamp == 0 || made == stamp) && contents == Payload(made, unit);
}

// Every file the tests cache or copy has a plain name: a hidden one is something staged.
bool IsHidden(const ioPath& path) { return path.filename().utf8string().rfind('.', 0) == 0; }

// The hidden files in `dir`.
std::vector<std::string> HiddenFilesIn(const ioPath& dir) {
  std::vector<std::string> names;
  for (auto it = dir.is_directory() ? dir.iterator() : boost::filesystem::directory_iterator();
       it != boost::filesystem::directory_iterator(); ++it) {
    if (IsHidden(it->path())) names.push_back(it->path().filename().string());
  }
  return names;
}

ioPath RecordDir(const ioPath& root) { return root / kKey.substr(0, 2) / kKey.substr(2, 2) / kKey.substr(4); }

using Faults = TempDirTest;

// A tmpfs filled to the last byte: every copy into it fails, and every destination keeps what it had.
TEST_F(Faults, FullDiskLeavesEveryDestinationAsItWas) {
  const ioPath full = dir_ / "full";
  const std::string big(1 << 20, 'n');
  ASSERT_TRUE(ioPath::create_directory(full) && ioPath::create_directory(dir_ / "tree"));
  WriteFile(dir_ / "big", big);
  WriteFile(dir_ / "tree/f", big);
  const Mount tmpfs(full, 512 << 10);
  if (!tmpfs.error().empty()) GTEST_SKIP() << tmpfs.error();
  const FileCache hashed(full / "hashed", kNoBudget);
  const FlatFileCache flat(full / "flat");
  ASSERT_TRUE(ioPath::create_directory(full / "tree"));
  for (const char* name : {"dst", "copied", "put", "tree/f", "hashed-source"}) WriteFile(full / name, "old");
  ASSERT_TRUE(hashed.PutRecord(kKey, full / "hashed-source", kStamp) && flat.PutRecord(kKey, full / "put", kStamp));
  {
    std::ofstream filler((full / "filler").platformString(), std::ios::binary);
    const std::string chunk(4096, 'f');
    while (filler.write(chunk.data(), chunk.size())) filler.flush();
  }

  EXPECT_FALSE(ioPath::copy_file(dir_ / "big", full / "dst"));
  EXPECT_FALSE(CopyFiles({{dir_ / "big", full / "copied"}}, nullptr, true));
  EXPECT_TRUE(CopyDir(dir_ / "tree", full / "tree")) << "the walk reaches its end";
  EXPECT_FALSE(ioPath::rename(dir_ / "big", full / "moved"));
  EXPECT_TRUE(ReadFile(dir_ / "big") == big && !(full / "moved").exists()) << "the rename lost or left something";
  for (const char* name : {"dst", "copied", "tree/f"}) EXPECT_EQ(ReadFile(full / name), "old") << name;
  WriteFile(dir_ / "source", big);
  for (const AbstractFileCache* cache : std::initializer_list<const AbstractFileCache*>{&hashed, &flat}) {
    EXPECT_FALSE(cache->PutRecord(kKey, dir_ / "source", kStamp + 1));
    EXPECT_EQ(ReadFile(dir_ / "source"), big) << "a failed put keeps its source";
    const auto record = cache->FindRecord(kKey);
    EXPECT_TRUE(ReadFile(record.path) == "old" && record.timestamp == kStamp) << record.path;
  }
  for (const ioPath& dir : {full, full / "tree", RecordDir(full / "hashed"), full / "flat"}) {
    EXPECT_THAT(HiddenFilesIn(dir), testing::IsEmpty()) << "staging files stayed in " << dir;
  }
}

// Puts into both caches and CopyFiles, each from another file system (so each stages a copy), in a loop.
// Signals `progress` as each operation starts, so that a kill then lands in it.
int PutAndCopyForever(const ioPath& root, const ioPath& sources, long long firstStamp, Baton* progress) {
  const FileCache hashed(root / "hashed", kNoBudget);
  const FlatFileCache flat(root / "flat");
  for (long long stamp = firstStamp;; ++stamp) {
    const ioPath source = sources / ("s" + std::to_string(stamp % 3));
    WriteFile(source, Payload(stamp));
    progress->Signal();
    switch (stamp % 3) {
      case 0: hashed.PutRecord(kKey, source, stamp); break;
      case 1: flat.PutRecord(kKey, source, stamp); break;
      default: CopyFiles({{source, root / "copies/dst"}}, nullptr, true); break;
    }
  }
}

// Kills the worker above at a different point in each round: the caches hold only whole files, the copy's
// destination is whole, and no staging file piles up; the next put clears what is left.
void KillRounds(const ioPath& root, const ioPath& sources, int rounds, std::chrono::microseconds spread) {
  ASSERT_TRUE(ioPath::create_directories(root / "copies") && ioPath::create_directories(sources));
  const FileCache hashed(root / "hashed", kNoBudget);
  const FlatFileCache flat(root / "flat");
  for (int round = 0; round < rounds && !testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE(round);
    Baton progress;
    const int pid = Fork([&] { return PutAndCopyForever(root, sources, kStamp + 100 * round, &progress); });
    for (int step = 0; step < 1 + round % 3; ++step) progress.Wait();
    // Not a wait for anything: the kill point moves through the operation from round to round.
    std::this_thread::sleep_for(spread * (round * 7 % rounds) / rounds);
    ::kill(pid, SIGKILL);
    WaitForChild(pid);
    for (const auto& record : {hashed.FindRecord(kKey), flat.FindRecord(kKey)}) {
      EXPECT_TRUE(record.path.empty() || Intact(record.path, record.timestamp)) << record.path;
    }
    EXPECT_TRUE(!(root / "copies/dst").exists() || Intact(root / "copies/dst"));
    for (const ioPath& dir : {RecordDir(root / "hashed"), root / "flat", root / "copies"}) {
      EXPECT_LE(HiddenFilesIn(dir).size(), 1u) << "staged files pile up in " << dir << ": " << testing::PrintToString(HiddenFilesIn(dir));
    }
  }
  WriteFile(sources / "last", Payload(kStamp));
  EXPECT_TRUE(hashed.PutRecord(kKey, sources / "last", kStamp));
  EXPECT_THAT(HiddenFilesIn(RecordDir(root / "hashed")), testing::IsEmpty()) << "the next put clears what the killed left";
}

TEST_F(Faults, KilledPutsAndCopiesLeaveOnlyWholeFiles) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system to copy from";
  KillRounds(dir_ / "root", other->path() / "sources", 24, std::chrono::milliseconds(3));
}

// On a file system without unnamed temporary files (FUSE), where copies are staged under hidden names: the
// same kills; then lookups running beside puts only ever find whole files under their cached names.
TEST_F(Faults, OnFuseKilledPutsLeaveWholeFilesAndLookupsNeverSeeAStagedFile) {
  const ioPath backing = dir_ / "backing", mount = dir_ / "mount";
  ASSERT_TRUE(ioPath::create_directory(backing) && ioPath::create_directory(mount));
  const Mount fuse(mount, backing);
  if (!fuse.error().empty()) GTEST_SKIP() << fuse.error();
  KillRounds(mount / "killed", dir_ / "sources", 24, std::chrono::milliseconds(15));
  const FileCache hashed(mount / "hashed", kNoBudget);
  const FlatFileCache flat(mount / "flat");
  const ioPath done = dir_ / "done";
  std::vector<int> readers;
  for (int i = 0; i < 2; ++i) {
    readers.push_back(Fork([&] {
      int found = 0;
      while (!done.exists()) {
        for (const auto& record : {hashed.FindRecord(kKey), flat.FindRecord(kKey)}) {
          if (record.path.empty()) continue;
          ++found;
          if (IsHidden(record.path)) return 2;
          if (!Intact(record.path, record.timestamp, 4096)) return 3;
        }
      }
      return found > 0 ? 0 : 4;
    }));
  }
  for (long long stamp = kStamp; stamp < kStamp + 300; ++stamp) {
    const ioPath source = dir_ / "sources" / "s";
    WriteFile(source, Payload(stamp, 4096));
    (stamp % 2 ? flat.PutRecord(kKey, source, stamp) : hashed.PutRecord(kKey, source, stamp));
  }
  WriteFile(done, "");
  for (const int reader : readers) EXPECT_EQ(WaitForChild(reader), 0) << "a reader's status";
}

// Four processes find and read while holding, put, remove and clean up on
// one root for two seconds (the stress program, run longer by hand): for both
// caches, sources on the root's file system and on another, no read sees a
// torn, foreign, swapped or staged file and no exception escapes.
TEST_F(Faults, ConcurrentUseNeverLosesOrChangesAHeldFile) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  for (const std::string cache : {"hashed", "flat"}) {
    for (const ioPath& sources : {dir_ / "sources", (other ? other->path() : dir_.path()) / "sources"}) {
      SCOPED_TRACE(cache + " from " + sources.utf8string());
      const ProcessResult result = Process(LUM_CACHE_STRESS, {cache, (dir_ / cache).utf8string(), sources.utf8string(), "4", "2"},
                                           dir_.path()).Finish();
      EXPECT_EQ(result.status, 0) << result.out << result.err;
      EXPECT_THAT(result.out, testing::ContainsRegex("^reads checked [1-9][0-9]*, reads bad 0, exceptions 0 ")) << result.out;
    }
  }
}

// Two users share a cache root that both may write to. What one of them holds (a file the other cannot even
// read) is neither replaced, nor removed, nor cleaned up by the other, and the other does not find it.
TEST_F(Faults, SharedRootOfTwoUsersKeepsAHeldFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "two users need root to set up";
  const ioPath root = dir_ / "shared";
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  ASSERT_TRUE(ioPath::create_directory(root));
  ASSERT_EQ(::chmod(root.platformString().c_str(), 0777), 0);
  Baton held, release;
  const int owner = Fork([&] {
    ::umask(0);  // a shared root: every directory writable by both
    const ioPath source = root / "mine";
    WriteFile(source, "private");
    ::chmod(source.platformString().c_str(), 0600);
    const FileCache cache(root / "hashed", kNoBudget);
    if (!cache.PutRecord(kKey, source, kStamp)) return 2;
    const auto record = cache.FindRecord(kKey);
    if (record.path.empty()) return 3;
    held.Signal();
    return release.Wait() ? 0 : 4;
  }, 65534);
  ASSERT_TRUE(held.Wait());
  const ioPath cached = RecordDir(root / "hashed") / "mine";
  EXPECT_EQ(WaitForChild(Fork([&] {
              ::umask(0);
              const FileCache cache(root / "hashed", kNoBudget);
              WriteFile(root / "theirs", "theirs");
              int failures = cache.PutRecord(kKey, root / "theirs", kStamp + 1) ? 1 : 0;
              failures |= cache.FindRecord(kKey).path.empty() ? 0 : 2;
              failures |= RemoveFile(cached) ? 4 : 0;
              FileCache(root / "hashed", 0);  // the clean-up of the whole root
              return failures;
            }, 65533)), 0);
  release.Signal();
  EXPECT_EQ(WaitForChild(owner), 0);
  EXPECT_EQ(ReadFile(cached), "private");
}

}  // namespace
}  // namespace Tarnix::Core
