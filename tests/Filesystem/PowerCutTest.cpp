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

  void EveryKindOfWriteThenCut();
};

// Every kind of write, each returning before the cut: copies and moves are
// whole at their destination, puts serve the whole new or old file.
TEST_P(PowerCut, AfterReturnEveryCopyMoveAndPutIsWhole) { EveryKindOfWriteThenCut(); }
// Each call alone, the power cut as soon as it returns, without the journal
// committed first: what the call made durable itself, names included, is all
// there is (a later call's flush would commit an earlier one's names too).
TEST_P(PowerCut, EachCallIsDurableWhenItReturns) {
  const FileCache hashed(mount_ / "hashed", kNoBudget);
  const FlatFileCache flat(mount_ / "flat");
  ASSERT_TRUE(ioPath::create_directory(mount_ / "copies"));
  SyncAll();
  int next = 0;
  const auto source = [&](const std::string& name) {
    const int id = next++;
    WriteFile(sources_ / name, Contents(id, 'n'));
    return id;
  };
  const std::vector<std::function<std::vector<Item>()>> calls = {
      [&] {
        const int id = source("f");
        EXPECT_TRUE(ioPath::copy_file(sources_ / "f", mount_ / "copies" / "f"));
        return std::vector<Item>{Item("copy_file", id, mount_ / "copies" / "f")};
      },
      [&] {
        std::vector<Item> items;
        std::vector<std::pair<ioPath, ioPath>> list;
        for (const char* name : {"a", "b"}) {
          items.emplace_back("CopyFiles", source(name), mount_ / "copies" / name);
          list.emplace_back(sources_ / name, items.back().destination);
        }
        EXPECT_TRUE(CopyFiles(list, nullptr, true));
        return items;
      },
      [&] {
        EXPECT_TRUE(ioPath::create_directories(sources_ / "tree" / "sub"));
        std::vector<Item> items{Item("CopyDir", source("tree/t"), mount_ / "tree" / "t"),
                                Item("CopyDir", source("tree/sub/t"), mount_ / "tree" / "sub" / "t")};
        EXPECT_TRUE(CopyDir(sources_ / "tree", mount_ / "tree"));
        return items;
      },
      [&] {
        const Item item("rename of a file across file systems", source("m"), mount_ / "m", sources_ / "m");
        EXPECT_TRUE(ioPath::rename(item.source, item.destination));
        return std::vector<Item>{item};
      },
      [&] {
        EXPECT_TRUE(ioPath::create_directories(sources_ / "moved" / "sub"));
        const Item item("rename of a tree across file systems", source("moved/sub/m"), mount_ / "moved/sub/m",
                        sources_ / "moved/sub/m");
        EXPECT_TRUE(ioPath::rename(sources_ / "moved", mount_ / "moved"));
        return std::vector<Item>{item};
      },
      [&] {
        std::vector<Item> items;
        for (const AbstractFileCache* cache : std::initializer_list<const AbstractFileCache*>{&hashed, &flat}) {
          const std::string name = "p" + std::to_string(next);
          items.emplace_back("put from another file system", source(name), ioPath(), sources_ / name, false, cache,
                             "key" + name);
          EXPECT_TRUE(cache->PutRecord(items.back().key, items.back().source, kStamp));
        }
        return items;
      },
  };
  for (const auto& call : calls) {
    const std::vector<Item> items = call();
    ASSERT_NO_FATAL_FAILURE(Cut(/*commitNamesFirst=*/false));
    ASSERT_NO_FATAL_FAILURE(Remount());
    for (const Item& item : items) Check(item, /*returned=*/true);
  }
}

void PowerCut::EveryKindOfWriteThenCut() {
  const ioPath copies = mount_ / "copies";
  ASSERT_TRUE(ioPath::create_directory(copies) && ioPath::create_directory(mount_ / "staging"));
  const FileCache hashed(mount_ / "hashed", kNoBudget);
  const FlatFileCache flat(mount_ / "flat");
  std::vector<Item> items;
  int next = 0;
  const auto source = [&](const ioPath& dir, int id, bool flush = false) {
    const ioPath path = dir / ("s" + std::to_string(id));
    WriteFile(path, Contents(id, 'n'));
    if (flush) {
      const int fd = ::open(path.platformString().c_str(), O_WRONLY);
      EXPECT_TRUE(fd >= 0 && ::fsync(fd) == 0);
      ::close(fd);
    }
    return path;
  };

  // The state before: old versions of what is replaced, durable.
  std::vector<int> replacedCopies, replacedKeys;
  for (int i = 0; i < 6; ++i) {
    replacedCopies.push_back(next);
    WriteFile(copies / ("c" + std::to_string(next)), Contents(next, 'o'));
    ++next;
  }
  for (const AbstractFileCache* cache : std::initializer_list<const AbstractFileCache*>{&hashed, &flat}) {
    for (int i = 0; i < 3; ++i) {
      const int id = next++;
      replacedKeys.push_back(id);
      WriteFile(mount_ / "old", Contents(id, 'o'));
      ASSERT_TRUE(cache->PutRecord("key" + std::to_string(id) + "-" + std::to_string(cache == &flat), mount_ / "old",
                                   kStamp));
    }
  }
  ASSERT_TRUE(ioPath::create_directory(copies / "tree"));
  WriteFile(copies / "tree" / "t0", Contents(1000, 'o'));
  SyncAll();

  // Copies, new names and replacing ones.
  for (int i = 0; i < 6; ++i) {
    const int id = next++;
    const ioPath from = source(sources_, id);
    ASSERT_TRUE(ioPath::copy_file(from, copies / ("c" + std::to_string(id))));
    items.push_back(Item{"copy_file to a new name", id, copies / ("c" + std::to_string(id))});
  }
  for (size_t i = 0; i < replacedCopies.size(); ++i) {
    const int id = replacedCopies[i];
    const ioPath from = source(sources_, id);
    const ioPath to = copies / ("c" + std::to_string(id));
    if (i % 2 == 0) {
      ASSERT_TRUE(ioPath::copy_file(from, to));
      items.push_back(Item{"copy_file over a file", id, to});
    } else {
      ASSERT_TRUE(CopyFiles({{from, to}}, nullptr, true));
      items.push_back(Item{"CopyFiles over a file", id, to});
    }
  }
  {
    std::vector<std::pair<ioPath, ioPath>> list;
    for (int i = 0; i < 8; ++i) {
      const int id = next++;
      list.emplace_back(source(sources_, id), copies / ("c" + std::to_string(id)));
      items.push_back(Item{"CopyFiles to a new name", id, list.back().second});
    }
    ASSERT_TRUE(CopyFiles(list, nullptr, true));
  }
  {
    const ioPath tree = sources_ / "tree";
    ASSERT_TRUE(ioPath::create_directories(tree / "sub"));
    for (int i = 0; i < 8; ++i) {
      const int id = next++;
      const std::string name = (i % 2 ? "sub/t" : "t") + std::to_string(id);
      WriteFile(tree / name, Contents(id, 'n'));
      items.push_back(Item{"CopyDir", id, copies / "tree" / name});
    }
    WriteFile(tree / "t0", Contents(1000, 'n'));
    items.push_back(Item{"CopyDir over a file", 1000, copies / "tree" / "t0"});
    ASSERT_TRUE(CopyDir(tree, copies / "tree"));
  }

  // Moves across file systems: a file and a tree.
  for (int i = 0; i < 4; ++i) {
    const int id = next++;
    const ioPath from = source(sources_, id);
    ASSERT_TRUE(ioPath::rename(from, mount_ / ("m" + std::to_string(id))));
    items.push_back(Item{"rename of a file across file systems", id, mount_ / ("m" + std::to_string(id)), from});
  }
  {
    const ioPath tree = sources_ / "moved";
    ASSERT_TRUE(ioPath::create_directories(tree / "sub"));
    std::vector<int> ids;
    for (int i = 0; i < 6; ++i) {
      const int id = next++;
      const std::string name = (i % 2 ? "sub/m" : "m") + std::to_string(id);
      WriteFile(tree / name, Contents(id, 'n'));
      items.push_back(Item{"rename of a tree across file systems", id, mount_ / "moved" / name, tree / name});
    }
    ASSERT_TRUE(ioPath::rename(tree, mount_ / "moved"));
  }

  // Puts: both caches, same device (flushed and unflushed sources) and from
  // another file system, new keys and replaced ones.
  for (const AbstractFileCache* cache : std::initializer_list<const AbstractFileCache*>{&hashed, &flat}) {
    const std::string suffix = "-" + std::to_string(cache == &flat);
    const std::string name = cache == &flat ? "flat" : "hashed";
    for (int variant = 0; variant < 6; ++variant) {
      const int id = next++;
      const bool sameDevice = variant < 4;
      const ioPath from = source(sameDevice ? mount_ / "staging" : sources_, id, variant == 1 || variant == 3);
      const std::string key = "key" + std::to_string(id) + suffix;
      ASSERT_TRUE(cache->PutRecord(key, from, kStamp + 1));
      items.push_back(Item{name + (sameDevice ? " put, same device" : " put from another file system") +
                           (variant == 1 || variant == 3 ? ", flushed source" : ""),
                       id, {}, from, false, cache, key});
    }
  }
  for (size_t i = 0; i < replacedKeys.size(); ++i) {
    const int id = replacedKeys[i];
    const AbstractFileCache* cache = i < 3 ? static_cast<const AbstractFileCache*>(&hashed) : &flat;
    const std::string key = "key" + std::to_string(id) + "-" + std::to_string(cache == &flat);
    const ioPath from = source(i % 2 ? sources_ : mount_ / "staging", id);
    ASSERT_TRUE(cache->PutRecord(key, from, kStamp + 1));
    items.push_back(Item{std::string(cache == &flat ? "flat" : "hashed") + " put replacing a record" +
                         (i % 2 ? " from another file system" : ""),
                     id, {}, from, true, cache, key});
  }

  ASSERT_NO_FATAL_FAILURE(Cut());
  ASSERT_NO_FATAL_FAILURE(Remount());
  for (const Item& item : items) Check(item, /*returned=*/true);
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
