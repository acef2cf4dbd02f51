// Nothing is lost at a power cut. Each file system (ext4, XFS with and
// without reflink) is made on a loop device; the power is cut with the
// shutdown ioctl that also drops the log, then the file system is mounted
// again (the journal replays) and every item is looked at.
//
// A cut right after the names are committed and before delayed data is
// written is where unflushed data goes missing: an fsync of an unrelated file
// commits the journal (and every rename in it) without writing the other
// files' delayed data, and the cut follows. Sources of cross-device puts and
// moves live on the test's own directory, which is not cut: a source removed
// there stays removed, so a move whose copy was not durable yet shows as lost.
#include "Filesystem/CopyFiles.h"
#include "Filesystem/FileCache.h"
#include "Filesystem/FileOperations.h"
#include "Filesystem/FlatFileCache.h"
#include "Filesystem/posix/StagedFile.h"

#include "support/Mounts.h"
#include "support/Test.h"

#include <sys/wait.h>

#include <functional>

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)

constexpr auto kNoBudget = std::numeric_limits<unsigned long long>::max();
constexpr long long kStamp = 1'600'000'000;

// An item's contents: a header naming item and version, then bytes that are
// never zero; lengths differ from item to item.
std::string Contents(int item, char version) {
  std::string text = std::to_string(item) + version + "\n";
  const std::size_t length = (96u << 10) + static_cast<std::size_t>(item % 7) * 8192;
  text.reserve(length);
  for (std::size_t i = text.size(); i < length; ++i) {
    text.push_back(static_cast<char>(1 + (i * 13 + static_cast<std::size_t>(item) * 7 + version) % 251));
  }
  return text;
}

// What a file holds after the cut, as far as can be told.
std::string Classify(const ioPath& path, int item) {
  if (path.empty() || !path.exists()) return "absent";
  const std::string found = ReadFile(path);
  if (found == Contents(item, 'n')) return "new";
  if (found == Contents(item, 'o')) return "old";
  if (found.empty()) return "empty";
  if (found.find_first_not_of('\0') == std::string::npos || found.find(std::string(512, '\0')) != std::string::npos) {
    return "zero-filled";
  }
  const std::string expected = Contents(item, 'n');
  if (expected.compare(0, found.size(), found) == 0) return "short";
  return "garbled";
}

// One operation's item: where the new data may be whole afterwards.
struct Item {
  Item(std::string what, int id, ioPath destination, ioPath source = {}, bool oldAllowed = false,
       const AbstractFileCache* cache = nullptr, std::string key = {})
      : what(std::move(what)), id(id), destination(std::move(destination)), source(std::move(source)),
        oldAllowed(oldAllowed), cache(cache), key(std::move(key)) {}
  std::string what;
  int id;
  ioPath destination;  // the record's path is looked up again for puts
  ioPath source;       // a move's or put's source; empty for copies
  bool oldAllowed;     // a put that replaces: the old record may still be served
  const AbstractFileCache* cache;
  std::string key;
};

class PowerCut : public TempDirTest, public testing::WithParamInterface<std::vector<std::string>> {
 protected:
  void SetUp() override {
    const std::vector<std::string>& mkfs = GetParam();
    mount_ = dir_ / "mnt";
    sources_ = dir_ / "sources";
    ASSERT_TRUE(ioPath::create_directory(mount_) && ioPath::create_directory(sources_));
    fs_ = std::make_unique<LoopFileSystem>(dir_ / "image", mount_, mkfs[0],
                                           std::vector<std::string>(mkfs.begin() + 1, mkfs.end()));
    if (!fs_->error().empty()) GTEST_SKIP() << fs_->error();
  }

  // Cuts the power. With `commitNamesFirst`, commits the journal (and the
  // names in it) first without writing other files' delayed data, the cut
  // that finds names without their data; without it, the cut finds whatever
  // the operations themselves made durable, names included.
  void Cut(bool commitNamesFirst = true) {
    if (commitNamesFirst) {
      WriteFile(mount_ / "unrelated", "x");
      const int fd = ::open((mount_ / "unrelated").platformString().c_str(), O_WRONLY);
      ASSERT_TRUE(fd >= 0 && ::fsync(fd) == 0);
      ::close(fd);
    }
    const std::string failure = fs_->CutPower();
    ASSERT_TRUE(failure.empty()) << failure;
  }

  void Remount() {
    const std::string failure = fs_->Remount();
    ASSERT_TRUE(failure.empty()) << failure;
  }

  // Makes everything written so far durable: the state before the operations.
  void SyncAll() {
    const int fd = ::open(mount_.platformString().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(fd >= 0 && ::syncfs(fd) == 0);
    ::close(fd);
  }

  // Checks one item after the cut. `returned`: its operation had returned
  // success before the cut, so its destination must be the new version (a
  // put's: new, old or nothing, with the new data whole somewhere).
  void Check(const Item& item, bool returned) {
    SCOPED_TRACE(item.what + " #" + std::to_string(item.id));
    const ioPath at = item.cache != nullptr ? item.cache->FindRecord(item.key).path : item.destination;
    const std::string destination = Classify(at, item.id);
    const std::string source = Classify(item.source, item.id);
    if (item.cache != nullptr || !returned) {
      EXPECT_THAT(destination, testing::AnyOf("new", "old", "absent")) << at;
      if (!item.oldAllowed) {
        EXPECT_NE(destination, "old");
      }
    } else {
      EXPECT_EQ(destination, "new") << at << " (the call had returned)";
    }
    // A source the caller itself had not made durable may be gone with an
    // operation that had not returned.
    const bool sourceOnCutFileSystem = item.source.platformString().rfind(mount_.platformString(), 0) == 0;
    if (!item.source.empty() && (returned || !sourceOnCutFileSystem)) {
      EXPECT_TRUE(destination == "new" || source == "new")
          << "the only copy is lost: destination " << destination << ", source " << source;
    }
  }

  std::unique_ptr<LoopFileSystem> fs_;
  ioPath mount_;
  ioPath sources_;

  // Runs every kind of write, one call at a time, each followed by a cut
  // (`commitNamesFirst` as for Cut) and a look at what the call wrote.
  void EachCallThenCut(bool commitNamesFirst);
};

// Names committed, delayed data not yet written, the cut: a call that had
// returned left the whole new file (a put: the whole new or old one, the new
// data whole somewhere), never an empty or short one.
TEST_P(PowerCut, AfterReturnNoNameShowsMissingData) { EachCallThenCut(/*commitNamesFirst=*/true); }
// The cut as soon as a call returns, without the journal committed first:
// what the call made durable itself, names included, is all there is.
TEST_P(PowerCut, AfterReturnEachCallIsDurable) { EachCallThenCut(/*commitNamesFirst=*/false); }

void PowerCut::EachCallThenCut(bool commitNamesFirst) {
  const FileCache hashed(mount_ / "hashed", kNoBudget);
  const FlatFileCache flat(mount_ / "flat");
  ASSERT_TRUE(ioPath::create_directories(mount_ / "copies/tree") && ioPath::create_directory(mount_ / "staging"));
  int next = 0;
  // A new source of the next item in `dir` (flushed by the caller when asked).
  const auto source = [&](const ioPath& dir, bool flush = false) {
    const int id = next++;
    const ioPath path = dir / ("s" + std::to_string(id));
    WriteFile(path, Contents(id, 'n'));
    if (flush) {
      const int fd = ::open(path.platformString().c_str(), O_WRONLY);
      EXPECT_TRUE(fd >= 0 && ::fsync(fd) == 0);
      ::close(fd);
    }
    return std::make_pair(id, path);
  };
  // The old version of item `id` at `path`, durable before the call.
  const auto old = [&](int id, const ioPath& path) {
    WriteFile(path, Contents(id, 'o'));
    SyncAll();
  };
  const auto copy = [&](const std::string& what, bool replace, const auto& call) {
    const auto [id, from] = source(sources_);
    const ioPath to = mount_ / "copies" / ("c" + std::to_string(id));
    if (replace) old(id, to);
    EXPECT_TRUE(call(from, to)) << what;
    return std::vector<Item>{Item(what, id, to)};
  };
  const auto put = [&](const AbstractFileCache& cache, const std::string& what, const ioPath& dir, bool flush,
                       bool replace) {
    const auto [id, from] = source(dir, flush);
    const std::string key = "key" + std::to_string(id);
    if (replace) {
      old(id, mount_ / "old");
      EXPECT_TRUE(cache.PutRecord(key, mount_ / "old", kStamp));
      SyncAll();
    }
    EXPECT_TRUE(cache.PutRecord(key, from, kStamp + 1)) << what;
    return std::vector<Item>{Item(what, id, {}, from, replace, &cache, key)};
  };
  const auto copyFile = [](const ioPath& from, const ioPath& to) { return ioPath::copy_file(from, to); };
  const auto copyFiles = [](const ioPath& from, const ioPath& to) { return CopyFiles({{from, to}}, nullptr, true); };
  const std::vector<std::function<std::vector<Item>()>> calls = {
      [&] { return copy("copy_file to a new name", false, copyFile); },
      [&] { return copy("copy_file over a file", true, copyFile); },
      [&] { return copy("CopyFiles over a file", true, copyFiles); },
      [&] {
        std::vector<Item> items;
        std::vector<std::pair<ioPath, ioPath>> list;
        for (int i = 0; i < 4; ++i) {
          const auto [id, from] = source(sources_);
          items.emplace_back("CopyFiles to new names", id, mount_ / "copies" / ("c" + std::to_string(id)));
          list.emplace_back(from, items.back().destination);
        }
        EXPECT_TRUE(CopyFiles(list, nullptr, true));
        return items;
      },
      [&] {
        std::vector<Item> items;
        EXPECT_TRUE(ioPath::create_directories(sources_ / "tree" / "sub"));
        for (const std::string name : {"t", "sub/t", "old"}) {
          const int id = next++;
          WriteFile(sources_ / "tree" / name, Contents(id, 'n'));
          items.emplace_back("CopyDir", id, mount_ / "copies/tree" / name);
          if (name == "old") old(id, items.back().destination);
        }
        EXPECT_TRUE(CopyDir(sources_ / "tree", mount_ / "copies/tree"));
        return items;
      },
      [&] {
        const auto [id, from] = source(sources_);
        const Item item("rename of a file across file systems", id, mount_ / ("m" + std::to_string(id)), from);
        EXPECT_TRUE(ioPath::rename(from, item.destination));
        return std::vector<Item>{item};
      },
      [&] {
        EXPECT_TRUE(ioPath::create_directories(sources_ / "moved" / "sub"));
        std::vector<Item> items;
        for (const std::string name : {"m", "sub/m"}) {
          const int id = next++;
          WriteFile(sources_ / "moved" / name, Contents(id, 'n'));
          items.emplace_back("rename of a tree across file systems", id, mount_ / "moved" / name,
                             sources_ / "moved" / name);
        }
        EXPECT_TRUE(ioPath::rename(sources_ / "moved", mount_ / "moved"));
        return items;
      },
      [&] { return put(hashed, "hashed put, same device", mount_ / "staging", false, false); },
      [&] { return put(flat, "flat put, same device, flushed source", mount_ / "staging", true, false); },
      [&] { return put(hashed, "hashed put from another file system", sources_, false, false); },
      [&] { return put(flat, "flat put from another file system", sources_, false, false); },
      [&] { return put(hashed, "hashed put replacing a record", mount_ / "staging", false, true); },
      [&] { return put(flat, "flat put replacing a record from another file system", sources_, false, true); },
  };
  for (const auto& call : calls) {
    const std::vector<Item> items = call();
    ASSERT_NO_FATAL_FAILURE(Cut(commitNamesFirst));
    ASSERT_NO_FATAL_FAILURE(Remount());
    for (const Item& item : items) Check(item, /*returned=*/true);
  }
}

// A directory's flush after a cut that dropped a rename in it fails, for a
// descriptor of any kind: a put removes its source only after that flush, so
// a flush that succeeds there loses the only copy.
TEST_P(PowerCut, DirectoryFlushAfterTheCutFails) {
  ASSERT_TRUE(ioPath::create_directory(mount_ / "d"));
  SyncAll();
  const std::string directory = (mount_ / "d").platformString();
  const posix::UniqueFd readable(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const posix::UniqueFd pathOnly(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(readable && pathOnly);
  WriteFile(mount_ / "d" / "staged", "data");
  ASSERT_TRUE(ioPath::rename(mount_ / "d" / "staged", mount_ / "d" / "published"));
  ASSERT_NO_FATAL_FAILURE(Cut(/*commitNamesFirst=*/false));
  EXPECT_TRUE(posix::SyncDirectory(readable.get()));
  EXPECT_TRUE(posix::SyncDirectory(pathOnly.get()));
}

// Operations run in a child while the power is cut under them: what had
// returned is whole, what was under way is whole somewhere.
TEST_P(PowerCut, WhileRunningNothingIsLost) {
  const ioPath log = dir_ / "done";
  ASSERT_TRUE(ioPath::create_directory(mount_ / "copies") && ioPath::create_directory(mount_ / "staging"));
  const FileCache hashed(mount_ / "hashed", kNoBudget);
  const FlatFileCache flat(mount_ / "flat");
  constexpr int kKinds = 6;
  const auto itemFor = [&](int id) -> Item {
    const std::string key = "key" + std::to_string(id);
    const ioPath across = sources_ / ("s" + std::to_string(id));
    switch (id % kKinds) {
      case 0: return Item{"hashed put from another file system", id, {}, across, false, &hashed, key};
      case 1: return Item{"flat put from another file system", id, {}, across, false, &flat, key};
      case 2: return Item{"hashed put, same device", id, {}, mount_ / "staging" / ("s" + std::to_string(id)), false, &hashed, key};
      case 3: return Item{"copy_file", id, mount_ / "copies" / ("c" + std::to_string(id))};
      case 4: return Item{"CopyFiles", id, mount_ / "copies" / ("c" + std::to_string(id))};
      default: return Item{"rename across file systems", id, mount_ / ("m" + std::to_string(id)), across};
    }
  };
  Baton enough;
  const int child = Fork([&] {
    for (int id = 0;; ++id) {
      const Item item = itemFor(id);
      const ioPath from = item.source.empty() ? sources_ / ("s" + std::to_string(id)) : item.source;
      WriteFile(from, Contents(id, 'n'));
      bool ok = false;
      switch (id % kKinds) {
        case 0: case 1: case 2: ok = item.cache->PutRecord(item.key, from, kStamp); break;
        case 3: ok = ioPath::copy_file(from, item.destination); break;
        case 4: ok = CopyFiles({{from, item.destination}}, nullptr, true); break;
        default: ok = ioPath::rename(from, item.destination); break;
      }
      if (!ok) return 0;  // the cut came
      std::ofstream(log.platformString(), std::ios::app) << id << "\n";
      if (id == 3 * kKinds) enough.Signal();
    }
  });
  ASSERT_TRUE(enough.Wait(60'000));
  Cut();
  // Every operation touches the cut file system, so the child's next one fails and it ends by itself.
  if (!WaitUntil([&] { return ::waitpid(child, nullptr, WNOHANG) == child; }, std::chrono::seconds(60))) {
    ::kill(child, SIGKILL);
    WaitForChild(child);
    FAIL() << "the child went on after the cut";
  }
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_NO_FATAL_FAILURE(Remount());

  int returned = -1;
  {
    std::ifstream in(log.platformString());
    for (int id; in >> id;) returned = id;
  }
  ASSERT_GE(returned, 3 * kKinds);
  for (int id = 0; id <= returned + 1; ++id) Check(itemFor(id), id <= returned);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, PowerCut,
                         testing::Values(std::vector<std::string>{"ext4", "-F"},
                                         std::vector<std::string>{"xfs", "-f"},
                                         std::vector<std::string>{"xfs", "-f", "-m", "reflink=0"}),
                         [](const testing::TestParamInfo<std::vector<std::string>>& info) {
                           return info.param[0] + (info.param.size() > 2 ? "WithoutReflink" : "");
                         });

}  // namespace
}  // namespace Tarnix::Core
