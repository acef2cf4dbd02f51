// Two machines sharing one cache: the directory named by LUM_SHARED_A and the
// one named by LUM_SHARED_B are the same directory of a network file system
// seen through two clients (tests/distributed/glusterfs.sh and cephfs.sh set
// them up). Every test works in a fresh directory below both and plays
// machine A through the first path and machine B through the second.
// Without the variables both are one directory on the local disk, where the
// same must hold between processes of one machine.
#include "Filesystem/FileCache.h"
#include "Filesystem/FileOperations.h"
#include "Filesystem/FlatFileCache.h"

#include "support/Test.h"

#include <chrono>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)

constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();
constexpr long long kStamp = 1'600'000'000;

// A file that says which stamp made it, with a length and letter that follow from it: a torn, short, empty,
// stale-sized or foreign file shows.
std::string Payload(long long stamp) {
  return std::to_string(stamp) + "\n" + std::string(1000 * (1 + stamp % 7), static_cast<char>('a' + stamp % 26));
}

// Whether the found record is whole: its file holds exactly the payload of its own timestamp (of `stamp` when
// given).
::testing::AssertionResult Whole(const AbstractFileCache::CacheRecord& record, long long stamp = 0) {
  if (record.path.empty()) return ::testing::AssertionFailure() << "not found";
  if (!record.readLock) return ::testing::AssertionFailure() << "found without a lock";
  if (stamp != 0 && record.timestamp != stamp) {
    return ::testing::AssertionFailure() << "timestamp " << record.timestamp << ", expected " << stamp;
  }
  if (!record.path.exists()) return ::testing::AssertionFailure() << record.path << " is gone, though held";
  const std::string contents = ReadFile(record.path);
  if (contents != Payload(record.timestamp)) {
    return ::testing::AssertionFailure() << record.path << " holds " << contents.size() << " bytes starting \""
                                         << contents.substr(0, 12) << "\", expected " << Payload(record.timestamp).size();
  }
  return ::testing::AssertionSuccess();
}

// Finds `key` in `cache` and checks that it is whole with `stamp`. A client may answer from its cache of
// names for a while (GlusterFS's default profile: 1 s) and miss a record that was just replaced under the
// same name; it finds the new one once that has passed. What it finds is never anything but whole.
::testing::AssertionResult FoundWhole(const AbstractFileCache& cache, const std::string& key, long long stamp) {
  ::testing::AssertionResult result = ::testing::AssertionFailure() << "never found";
  WaitUntil([&] {
    const auto record = cache.FindRecord(key);
    if (record.path.empty()) return false;
    result = Whole(record, stamp);
    return true;
  });
  return result;
}

std::string Key(const std::string& name) { return AbstractFileCache::MakeCacheKey(name); }

// Whether `cache` removed the record, given its only lock (RemoveRecord answers true when it did NOT remove it).
bool Removed(const AbstractFileCache& cache, AbstractFileCache::CacheRecord record) {
  record.readLock.reset();
  return !cache.RemoveRecord(record);
}

// A (the first client's view) and B (the second's) of one fresh directory on the shared volume, and a local
// directory for sources that are copied in.
class SharedCache : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    const std::string a = GetEnvironment("LUM_SHARED_A"), b = GetEnvironment("LUM_SHARED_B");
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    a_ = a.empty() || b.empty() ? dir_ / "shared" : ioPath(a) / name;
    b_ = a.empty() || b.empty() ? a_ : ioPath(b) / name;
    ASSERT_TRUE(ioPath::create_directories(a_ / "sources"));
    ASSERT_TRUE(WaitUntil([&] { return (b_ / "sources").is_directory(); })) << "B never saw " << a_;
    ASSERT_TRUE(ioPath::create_directories(dir_ / "local"));
  }

  // A source for a put from A: on the volume (moved in) or on a local disk (copied in).
  ioPath Source(long long stamp, bool onVolume) const {
    const ioPath source = (onVolume ? a_ / "sources" : dir_ / "local") / ("s" + std::to_string(stamp));
    WriteFile(source, Payload(stamp));
    return source;
  }

  ioPath a_, b_;
};

// What B holds stays through everything A does to take it away, and is read whole meanwhile; once B lets go,
// A takes it away at once.
TEST_F(SharedCache, HeldOnOneClientSurvivesRemovalsOnTheOther) {
  const std::string key = Key("held");
  for (const bool hashed : {true, false}) {
    SCOPED_TRACE(hashed ? "hashed" : "flat");
    const ioPath rootA = a_ / (hashed ? "hashed" : "flat"), rootB = b_ / (hashed ? "hashed" : "flat");
    std::unique_ptr<AbstractFileCache> onA, onB;
    if (hashed) {
      onA = std::make_unique<FileCache>(rootA, kNoBudget);
      onB = std::make_unique<FileCache>(rootB, kNoBudget);
    } else {
      onA = std::make_unique<FlatFileCache>(rootA);
      onB = std::make_unique<FlatFileCache>(rootB);
    }
    ASSERT_TRUE(onA->PutRecord(key, Source(kStamp, true), kStamp));
    auto held = onB->FindRecord(key);
    ASSERT_TRUE(Whole(held, kStamp));

    if (hashed) {
      const CacheBudgetReport report = ApplyCacheBudget(rootA, 0);
      EXPECT_EQ(report.keptFiles, 1u) << "the clean-up on A removed what B holds";
      EXPECT_FALSE(onA->PutRecord(key, Source(kStamp + 1, false), kStamp + 1)) << "a copy replaced it";
    }
    const ioPath pathOnA = onA->FindRecord(key).path;
    EXPECT_FALSE(Removed(*onA, onA->FindRecord(key))) << "RemoveRecord on A removed what B holds";
    EXPECT_FALSE(RemoveFile(pathOnA));
    EXPECT_FALSE(onA->PutRecord(key, Source(kStamp + 2, true), kStamp + 2)) << "a move replaced it";
    EXPECT_TRUE(Whole(held, kStamp)) << "B's file changed under its lock";
    EXPECT_TRUE(Whole(onB->FindRecord(key), kStamp));

    // B lets go: with nobody holding it, A's removal succeeds right away (no retry of our own here).
    held = {};
    ASSERT_TRUE(Whole(onA->FindRecord(key), kStamp));
    EXPECT_TRUE(Removed(*onA, onA->FindRecord(key))) << "refused though nobody holds it";
    EXPECT_TRUE(onB->FindRecord(key).path.empty()) << "B still finds a removed record";
  }
}

// Puts on A (new keys and one key replaced again and again; moved in and copied in) are found on B at once
// and whole: never short, empty, stale-sized or with the old timestamp.
TEST_F(SharedCache, PutOnOneClientIsFoundWholeOnTheOther) {
  const FileCache onA(a_ / "cache", kNoBudget), onB(b_ / "cache", kNoBudget);
  const FlatFileCache flatA(a_ / "flat"), flatB(b_ / "flat");
  const std::string replaced = Key("replaced");
  for (long long stamp = kStamp; stamp < kStamp + 16 && !HasFailure(); ++stamp) {
    SCOPED_TRACE(stamp);
    const bool move = stamp % 2 == 0;
    const std::string fresh = Key("new " + std::to_string(stamp));
    ASSERT_TRUE(onA.PutRecord(fresh, Source(stamp, move), stamp));
    EXPECT_TRUE(Whole(onB.FindRecord(fresh), stamp)) << "a new key is found at once";

    // Replacing: whoever put it last removes the old record first.
    if (!onA.FindRecord(replaced).path.empty()) {
      ASSERT_TRUE(Removed(onA, onA.FindRecord(replaced)));
    }
    ASSERT_TRUE(onA.PutRecord(replaced, Source(stamp, !move), stamp));
    EXPECT_TRUE(FoundWhole(onB, replaced, stamp));

    if (stamp % 4 != 0) continue;  // a replacement under one name can take a second to be seen: a few do
    if (!flatA.FindRecord(replaced).path.empty()) {
      ASSERT_TRUE(Removed(flatA, flatA.FindRecord(replaced)));
    }
    ASSERT_TRUE(flatA.PutRecord(replaced, Source(stamp, move), stamp));
    EXPECT_TRUE(FoundWhole(flatB, replaced, stamp));
  }
}

// While A puts (new keys, whose directories B is looking up at the same moment, and one replaced key), B
// finds and reads: every file B finds is whole, and not one of A's puts of a new key fails.
TEST_F(SharedCache, ConcurrentPutsNeverShowAPartlyWrittenFile) {
  const ioPath rootA = a_ / "cache", rootB = b_ / "cache";
  constexpr int kRounds = 30;
  const ioPath done = dir_ / "done";
  const int writer = Fork([&] {
    const FileCache onA(rootA, kNoBudget);
    int failures = 0;
    for (long long stamp = kStamp; stamp < kStamp + kRounds; ++stamp) {
      failures += !onA.PutRecord(Key("new " + std::to_string(stamp)), Source(stamp, stamp % 2 == 0), stamp);
      (void)Removed(onA, onA.FindRecord(Key("replaced")));  // B may hold it: then this put is refused
      onA.PutRecord(Key("replaced"), Source(stamp, stamp % 2 != 0), stamp);
    }
    WriteFile(done, "");
    return failures;
  });
  const FileCache onB(rootB, kNoBudget);
  int found = 0, bad = 0;
  std::string firstBad;
  bool last = false;
  while (!last) {
    last = done.exists();
    for (long long stamp = kStamp; stamp < kStamp + kRounds; ++stamp) {
      for (const std::string& key : {Key("new " + std::to_string(stamp)), Key("replaced")}) {
        const auto record = onB.FindRecord(key);
        if (record.path.empty()) continue;
        ++found;
        if (const auto whole = Whole(record); !whole && bad++ == 0) firstBad = whole.message();
      }
    }
  }
  EXPECT_EQ(WaitForChild(writer), 0) << "puts of new keys on A failed";
  EXPECT_EQ(bad, 0) << "of " << found << " found on B; the first: " << firstBad;
  EXPECT_GE(found, kRounds) << "B found too little for the test to mean anything";
}

// B finds a record again and again, letting go in between, while A removes it whenever nobody holds it
// and puts it back: whatever B holds stays whole until B lets go. (On FUSE a lock goes with its close only
// when the release reaches the server, and a new lock on the same file may meanwhile have been merged with
// the old one; both clients meet that here, B between its finds and A between its find and its removal.)
TEST_F(SharedCache, RecordTakenAgainAndAgainIsNeverRemovedWhileHeld) {
  const FileCache onA(a_ / "cache", kNoBudget), onB(b_ / "cache", kNoBudget);
  const std::string key = Key("again");
  ASSERT_TRUE(onA.PutRecord(key, Source(kStamp, false), kStamp));
  const ioPath done = dir_ / "done";
  const int remover = Fork([&] {
    long long stamp = kStamp;
    while (!done.exists()) {
      auto record = onA.FindRecord(key);
      const ioPath path = record.path;
      record = {};
      if (path.empty() || RemoveFile(path)) {
        ++stamp;
        onA.PutRecord(key, Source(stamp, false), stamp);
      }
    }
    return 0;
  });
  int held = 0, lost = 0;
  std::string firstLost;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (held < 200 && std::chrono::steady_clock::now() < deadline) {
    const auto record = onB.FindRecord(key);
    if (record.path.empty()) continue;
    ++held;
    for (int read = 0; read < 2; ++read) {
      if (const auto whole = Whole(record); !whole && lost++ == 0) firstLost = whole.message();
    }
  }
  WriteFile(done, "");
  EXPECT_EQ(WaitForChild(remover), 0);
  EXPECT_EQ(lost, 0) << "of " << held << " records held; the first: " << firstLost;
  EXPECT_EQ(held, 200) << "B held too little for the test to mean anything";
}

// With nobody holding anything, puts and removals alternate between the clients (each one right after the
// other client let go of the record): every one succeeds.
TEST_F(SharedCache, PutsAndRemovalsWithNobodyHoldingAlwaysSucceed) {
  const FileCache onA(a_ / "cache", kNoBudget), onB(b_ / "cache", kNoBudget);
  const std::string key = Key("alternating");
  std::map<std::string, int> failed;
  for (long long stamp = kStamp; stamp < kStamp + 20; ++stamp) {
    const bool aPuts = stamp % 2 == 0;
    const FileCache& putter = aPuts ? onA : onB;
    const FileCache& remover = aPuts ? onB : onA;
    const ioPath source = (aPuts ? a_ : b_) / "sources" / ("s" + std::to_string(stamp));
    WriteFile(source, Payload(stamp));
    if (!putter.PutRecord(key, source, stamp)) ++failed["put"];
    auto record = remover.FindRecord(key);  // read and let go on the other client
    if (!Whole(record, stamp)) ++failed["find"];
    if (!Removed(remover, std::move(record))) ++failed["removal"];
    // A new key: its directories are made on one client right after the other looked them up.
    const std::string fresh = Key("fresh " + std::to_string(stamp));
    (void)remover.FindRecord(fresh);
    WriteFile(source, Payload(stamp));
    if (!putter.PutRecord(fresh, source, stamp)) ++failed["put of a new key"];
    if (!Whole(remover.FindRecord(fresh), stamp)) ++failed["find of a new key"];  // and let go at once
    if (!Removed(putter, putter.FindRecord(fresh))) ++failed["removal right after the other's find"];
  }
  EXPECT_THAT(failed, ::testing::IsEmpty());
}

}  // namespace
}  // namespace Tarnix::Core
