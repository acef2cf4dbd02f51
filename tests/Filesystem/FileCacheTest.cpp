// Both file caches in one process, then the hashed one between processes: a
// read lock held in one against the removals of another; on Linux also what
// others may plant below a root. (FaultTest runs them under faults and in a
// stress run.)
#include "Filesystem/FileCache.h"
#include "Filesystem/FileOperations.h"
#include "Filesystem/FlatFileCache.h"
#include "Filesystem/internal/CacheDirectory.h"
#include "Filesystem/internal/CacheFiles.h"

#include "support/Test.h"

#include <limits>
#include <tuple>

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)

constexpr long long kStamp = 1'500'000'000;  // any whole second will do
constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();

ioPath RecordDir(const ioPath& root, const std::string& key) {
  return root / key.substr(0, 2) / key.substr(2, 2) / key.substr(4);
}

class FileCacheTest : public TempDirTest {
 protected:
  ioPath Source(const std::string& contents, const std::string& name = "source", const ioPath& dir = ioPath()) const {
    const ioPath path = (dir.empty() ? dir_.path() : dir) / name;
    WriteFile(path, contents);
    return path;
  }
  const ioPath root_ = dir_ / "cache";
  const std::string key_ = AbstractFileCache::MakeCacheKey("produced content");
  const ioPath recordDir_ = RecordDir(root_, key_);
};

// Held, a record is neither replaced nor removed; unheld, it is still not put over itself.
TEST_F(FileCacheTest, BothCachesPutFindReplaceRemove) {
  const FileCache hashed(root_, 0);
  const FlatFileCache flat(dir_ / "flat/root");
  const std::tuple<const AbstractFileCache&, ioPath, ioPath> rows[] = {  // where the first and the second put land
      {hashed, recordDir_ / "page.bin", recordDir_ / "next.dat"},
      {flat, dir_ / "flat/root" / key_, dir_ / "flat/root" / key_}};
  for (const auto& [cache, first, second] : rows) {
    SCOPED_TRACE(first.utf8string());
    const ioPath source = Source("contents", "page.bin");
    EXPECT_FALSE(cache.PutRecord(key_, source, 0));
    EXPECT_FALSE(cache.PutRecord(key_, dir_ / "missing", kStamp));
    ASSERT_TRUE(cache.PutRecord(key_, source, kStamp));
    EXPECT_FALSE(source.exists());
    EXPECT_TRUE(HasBothTimes(first, kStamp));
    auto record = cache.FindRecord(key_);
    EXPECT_EQ(std::tie(record.path, record.timestamp), std::tie(first, kStamp));
    ASSERT_NE(record.readLock, nullptr);

    const ioPath next = Source("next", "next.dat");
    EXPECT_FALSE(cache.PutRecord(key_, next, kStamp + 1));
    EXPECT_TRUE(cache.RemoveRecord(record));
    record.readLock.reset();
    EXPECT_FALSE(cache.PutRecord(key_, record.path, kStamp));
    EXPECT_EQ(ReadFile(record.path), "contents");
    ASSERT_TRUE(cache.PutRecord(key_, next, kStamp + 1));
    EXPECT_EQ(EntriesIn(second.parent_path()), 1) << "the first file is gone";
    record = cache.FindRecord(key_);
    EXPECT_EQ(std::make_tuple(record.path, record.timestamp, ReadFile(record.path)), std::make_tuple(second, kStamp + 1, "next"));
    record.readLock.reset();
    EXPECT_FALSE(cache.RemoveRecord(record));
    EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  }
  EXPECT_TRUE(recordDir_.is_directory()) << "removals keep the record directory";
}

// Hashed keys name three levels; flat keys are file names used unchanged. A
// read-locked source is copied in, but stays, and the put throws.
TEST_F(FileCacheTest, KeysOfBothCachesAndAReadLockedSource) {
  const FileCache cache(root_, 0);
  EXPECT_THROW(cache.FindRecord("abc"), std::out_of_range);
  EXPECT_THROW(cache.PutRecord("abc", Source("x"), kStamp), std::out_of_range);
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  EXPECT_FALSE(recordDir_.exists()) << "a lookup creates nothing";
  for (const std::string key : {"abcd", "abcdefgh", "ab/c/de"}) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(cache.PutRecord(key, Source("x"), kStamp));
    EXPECT_EQ(cache.FindRecord(key).path, RecordDir(root_, key) / "source");
  }
  const ioPath held = Source("held", "held");
  const auto lock = ICacheReadLock::CreateInstance(held);
  EXPECT_THROW(cache.PutRecord(key_, held, kStamp), boost::filesystem::filesystem_error);
  EXPECT_EQ(ReadFile(held), "held");
  EXPECT_EQ(ReadFile(cache.FindRecord(key_).path), "held");

  const ioPath flatRoot = dir_ / "flat";
  const FlatFileCache flat(flatRoot);
  ASSERT_TRUE(ioPath::create_directories(flatRoot / "sub"));
  const std::pair<const char*, bool> rows[] = {  // the key, whether it is stored
      {"", false}, {"a", true}, {"no-such-dir/name", false}, {"sub/name", true}, {"..x y", true}};
  for (const auto& [key, stored] : rows) {
    SCOPED_TRACE(key);
    const ioPath source = Source("x");
    EXPECT_EQ(flat.PutRecord(key, source, kStamp), stored);
    EXPECT_EQ(source.exists(), !stored);
    EXPECT_EQ(flat.FindRecord(key).path, stored ? flatRoot / key : ioPath());
  }
  EXPECT_FALSE((flatRoot / "no-such-dir").exists()) << "the cache creates no subdirectory";
}

// The copy of a put from another file system, staged either way, appears
// complete and stamped, never replaces what has the name meanwhile, and
// leaves nothing behind; room is made only once the copy is ready.
TEST_F(FileCacheTest, PutFromAnotherFileSystemIsStagedAndNeverReplacesNorLeavesAnything) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  if (!other) GTEST_SKIP() << "no second file system here";
  ASSERT_TRUE(FileCache(root_, 0).PutRecord(key_, Source(std::string(3 << 20, 'z'), "big", other->path()), kStamp));
  EXPECT_FALSE((*other / "big").exists());
  EXPECT_TRUE(HasBothTimes(recordDir_ / "big", kStamp));
  EXPECT_EQ(ReadFile(recordDir_ / "big"), std::string(3 << 20, 'z'));
  EXPECT_EQ(EntriesIn(recordDir_), 1) << "no staging file stays behind";
  for (auto staging : {internal::Staging::UnnamedFile, internal::Staging::NamedTempFile}) {
    SCOPED_TRACE(static_cast<int>(staging));
    TempDir out;
    internal::CacheDirectory directory;
    ASSERT_FALSE(internal::OpenCacheDirectory(out.path(), ioPath(), false, &directory));
    const ioPath source = Source("payload", "s", other->path());
    const std::string longest(255, 't');  // the staging name must not grow with it
    internal::Placement placement;
    int rooms = 0;
    const auto makeRoom = [&] { return ++rooms == 1 && ReadFile(source) == "payload"; };
    EXPECT_FALSE(internal::PlaceFile(source, directory, longest, kStamp, makeRoom, &placement, staging));
    EXPECT_TRUE(placement.placed && !placement.sourceKept && !source.exists());
    EXPECT_TRUE(HasBothTimes(out / longest, kStamp));
    EXPECT_EQ(ReadFile(out / longest), "payload");
    WriteFile(source, "second");
    EXPECT_EQ(internal::PlaceFile(source, directory, longest, kStamp, [] { return true; }, &placement, staging),
              std::errc::file_exists);
    EXPECT_EQ(internal::PlaceFile(source, directory, "u", kStamp, [] { return false; }, &placement, staging),
              std::errc::device_or_resource_busy);
    EXPECT_EQ(ReadFile(source), "second") << "a failed placement keeps its source";
    EXPECT_EQ(EntriesIn(out.path()), 1);
  }
}

// Files of 10 and 20 bytes in the key layout and in the root, and an empty one
// deep outside it: all of them go once they are over the limit, none before.
// A directory whose listing takes several reads (2,000 long names) is counted whole.
TEST_F(FileCacheTest, CleanupRemovesEverythingOnlyWhenOverBudget) {
  const std::tuple<int, unsigned long long, bool> rows[] = {  // bytes of each file, the limit, whether all are kept
      {10, 30, true}, {10, 29, false}, {10, 0, false}, {0, 0, true}};
  const ioPath files[] = {recordDir_ / "rec", root_ / "stray", root_ / "x/y/z/w/deep"};
  ASSERT_TRUE(ioPath::create_directories(files[2].parent_path()));
  for (const auto& [bytes, limit, kept] : rows) {
    SCOPED_TRACE(limit);
    ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key_, Source(std::string(bytes, 'r'), "rec"), kStamp));
    WriteFile(files[1], std::string(2 * bytes, 's'));
    WriteFile(files[2], "");
    FileCache(root_, limit);
    for (const ioPath& file : files) EXPECT_EQ(file.exists(), kept) << file;
    EXPECT_TRUE(recordDir_.is_directory() && files[2].parent_path().is_directory()) << "directories stay";
  }
  ASSERT_TRUE(ioPath::remove_all(root_) && ioPath::create_directories(root_ / "large"));
  for (int i = 0; i < 2000; ++i) WriteFile(root_ / ("large/" + std::string(60, 'n') + std::to_string(i)), "x");
  const auto report = ApplyCacheBudget(root_, kNoBudget);
  EXPECT_EQ(std::make_pair(report.countedFiles, report.countedBytes), std::make_pair(2000ull, 2000ull));
}

// The other process is a program of its own (CacheLockHolder), as on Windows,
// where a process cannot be forked.
TEST_F(FileCacheTest, RecordHeldInOneProcessSurvivesAnother) {
  ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key_, Source("held", "held"), kStamp));
  auto byPath = FileCache(root_, kNoBudget).FindRecord(key_);
  byPath.readLock.reset();  // this process holds nothing
  const ioPath held = dir_ / "held.path";
  Process holder(HelperProgram(LUM_CACHE_LOCK_HOLDER), {root_.utf8string(), key_, held.utf8string()}, dir_.path());
  ASSERT_TRUE(WaitUntil([&] { return held.exists(); })) << holder.Err();
  EXPECT_EQ(ReadFile(held), byPath.path.utf8string());
  {
    LogCapture log;
    const FileCache cache(root_, 0);
    EXPECT_FALSE(cache.PutRecord(key_, Source("new", "new"), kStamp + 1));
    EXPECT_TRUE(cache.RemoveRecord(byPath));
    EXPECT_FALSE(RemoveFile(byPath.path));
    EXPECT_EQ(ReadFile(byPath.path), "held");
    const auto records = log.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::tie(records[0].severity, records[0].file, records[0].text),
              std::make_tuple(google::GLOG_WARNING, "FileCache.cpp", "Failed to remove: " + byPath.path.utf8string()));
  }
  ASSERT_TRUE(ioPath::remove(held));
  ASSERT_EQ(holder.Finish().status, 0);
  FileCache(root_, 0);
  EXPECT_FALSE(byPath.path.exists());
}

// --- Linux only: planted links, descriptor limits, permissions, forked workers
#ifndef _WIN32
// Whoever may write below the root can plant links: at a key level, at the
// record directory, in it, or at a flat key's file or directory. No put
// deletes or writes anything behind one, and no lookup finds through one.
TEST_F(FileCacheTest, LinksBelowTheRootAreNeverFollowed) {
  const ioPath victim = dir_ / "victim";
  ASSERT_TRUE(ioPath::create_directories(victim / "dir"));
  WriteFile(victim / "dir/precious", "precious");
  const auto untouched = [&] { return ReadFile(victim / "dir/precious") == "precious" && EntriesIn(victim / "dir") == 1; };
  for (const ioPath& planted : {root_ / key_.substr(0, 2), recordDir_.parent_path(), recordDir_}) {
    SCOPED_TRACE(planted.utf8string());
    ioPath::remove_all(root_);
    ASSERT_TRUE(ioPath::create_directories(planted.parent_path()));
    Link((victim / "dir").utf8string(), planted);
    const FileCache cache(root_, kNoBudget);
    EXPECT_TRUE(cache.FindRecord(key_).path.empty());
    EXPECT_FALSE(cache.PutRecord(key_, Source("new", "precious"), kStamp));
    EXPECT_TRUE(untouched());
  }
  // A link in the record directory is no cached file: it is neither found nor followed nor removed.
  ioPath::remove_all(root_);
  ASSERT_TRUE(ioPath::create_directories(recordDir_));
  Link((victim / "dir/precious").utf8string(), recordDir_ / "link");
  const FileCache cache(root_, kNoBudget);
  EXPECT_TRUE(cache.FindRecord(key_).path.empty());
  ASSERT_TRUE(cache.PutRecord(key_, Source("page", "page"), kStamp));
  EXPECT_EQ(cache.FindRecord(key_).path, recordDir_ / "page");
  EXPECT_TRUE(untouched());

  const FlatFileCache flat(dir_ / "flat");
  Link((victim / "dir").utf8string(), dir_ / "flat/sub");
  Link((victim / "dir/precious").utf8string(), dir_ / "flat/file");
  for (const char* key : {"sub/precious", "file", "../victim/dir/precious", "sub/../../victim/dir/precious"}) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(flat.FindRecord(key).path.empty());
    EXPECT_FALSE(flat.PutRecord(key, Source("new"), kStamp));
    EXPECT_TRUE(untouched());
  }
}

// Out of descriptors, a lookup finds nothing rather than a record whose lock protects nothing.
TEST_F(FileCacheTest, LookupWithoutDescriptorsFindsNothing) {
  const FileCache hashed(root_, kNoBudget);
  const FlatFileCache flat(dir_ / "flat");
  ASSERT_TRUE(hashed.PutRecord(key_, Source("page"), kStamp) && flat.PutRecord(key_, Source("page"), kStamp));
  EXPECT_EQ(RunInChild([&] {
              std::vector<int> taken;
              for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
              if (errno != EMFILE || taken.empty()) return 10;
              ::close(taken.back());  // one left: the record directory takes it, the lock finds none
              if (!hashed.FindRecord(key_).path.empty()) return 1;
              const int last = ::open("/dev/null", O_RDONLY);
              return last >= 0 && flat.FindRecord(key_).path.empty() ? 0 : 2;
            }), 0);
}

// The report's figures are what the budget counts: files at any depth, a link
// to a file as that file (the link goes, its target stays), nothing through a
// link to a directory; a held file is kept.
TEST_F(FileCacheTest, BudgetReportCountsRemovedAndKeptFiles) {
  ASSERT_TRUE(FileCache(root_, kNoBudget).PutRecord(key_, Source("held", "held"), kStamp));
  ASSERT_TRUE(ioPath::create_directories(root_ / "x/y") && ioPath::create_directories(dir_ / "outside"));
  WriteFile(root_ / "x/y/deep", std::string(10, 'd'));
  WriteFile(dir_ / "outside/big", std::string(1000, 'b'));
  Link((dir_ / "outside/big").utf8string(), root_ / "to-file");
  Link((dir_ / "outside").utf8string(), root_ / "to-dir");
  const auto record = FileCache(root_, kNoBudget).FindRecord(key_);
  ASSERT_FALSE(record.path.empty());

  const auto within = ApplyCacheBudget(root_, 1014);
  EXPECT_EQ(std::make_tuple(within.countedFiles, within.countedBytes, within.removedFiles, within.keptFiles),
            std::make_tuple(3ull, 1014ull, 0ull, 0ull));
  LogCapture log;
  const auto over = ApplyCacheBudget(root_, 1013);
  EXPECT_EQ(std::make_tuple(over.limit, over.countedFiles, over.countedBytes, over.removedFiles, over.removedBytes,
                            over.keptFiles, over.keptBytes),
            std::make_tuple(1013ull, 3ull, 1014ull, 2ull, 1010ull, 1ull, 4ull));
  EXPECT_TRUE(record.path.exists());
  EXPECT_FALSE((root_ / "to-file").is_symlink());
  EXPECT_TRUE((dir_ / "outside/big").exists());
  ASSERT_EQ(log.records().size(), 1u);
  EXPECT_EQ(log.records()[0].text, "Failed to remove: " + record.path.utf8string());
}

// The progress callback sees each file counted, then each one removed or kept,
// and its last report is the result.
TEST_F(FileCacheTest, BudgetProgressReportsEachFileCountedAndRemoved) {
  ASSERT_TRUE(ioPath::create_directories(root_ / "x/y"));
  for (const char* name : {"x/a", "x/y/b", "c"}) WriteFile(root_ / name, "12345");
  std::vector<CacheBudgetReport> reports;
  const auto result = ApplyCacheBudget(root_, 5, [&](const CacheBudgetReport& soFar) { reports.push_back(soFar); });
  ASSERT_EQ(reports.size(), 6u);
  for (unsigned long long i = 0; i < 3; ++i) {
    EXPECT_EQ(std::make_pair(reports[i].countedFiles, reports[i].removedFiles), std::make_pair(i + 1, 0ull));
  }
  for (unsigned long long i = 3; i < 6; ++i) EXPECT_EQ(reports[i].removedFiles, i - 2);
  EXPECT_EQ(std::make_tuple(reports.back().countedBytes, reports.back().removedBytes, reports.back().keptFiles),
            std::make_tuple(result.countedBytes, result.removedBytes, result.keptFiles));
  EXPECT_EQ(result.removedBytes, 15u);
}

// A directory the walk cannot read stops it before anything is removed, also
// files it had already counted. Run unprivileged: root reads anything.
TEST_F(FileCacheTest, UnreadableDirectoryThrowsBeforeRemoving) {
  ASSERT_TRUE(ioPath::create_directories(root_ / "closed"));
  WriteFile(root_ / "top", "x");
  WriteFile(root_ / "closed/inner", "x");
  ASSERT_EQ(::chmod(dir_.path().platformString().c_str(), 0755), 0);
  for (const char* owned : {"", "top"}) ASSERT_EQ(::chown((root_ / owned).platformString().c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((root_ / "closed").platformString().c_str(), 0), 0);
  EXPECT_EQ(RunUnprivileged([&] {
              try {
                (void)ApplyCacheBudget(root_, 0);
                return 1;
              } catch (const boost::filesystem::filesystem_error& e) {
                return e.path1() == (root_ / "closed").platformString() && e.code() == std::errc::permission_denied ? 0 : 2;
              }
            }), 0);
  EXPECT_TRUE((root_ / "top").exists());
}

#endif  // Linux only

}  // namespace
}  // namespace Tarnix::Core
