// The pieces of the Windows backend that no portable call shows on its own:
// the one path form, the sorting of failures, the recycle bin's refusals, the
// staged copy's names and holding, and what other programs' open handles do
// to caches and copies (an antivirus scanner, a player, a preview).
#include "Filesystem/FileCache.h"
#include "Filesystem/ShellOperations.h"
#include "Filesystem/DirectoryWatcher.h"
#include "Filesystem/FlatFileCache.h"
#include "Filesystem/internal/StagingName.h"
#include "Filesystem/win/CopyProgress.h"
#include "Filesystem/win/Path.h"
#include "Filesystem/win/RecycleBin.h"
#include "Filesystem/win/StagedFile.h"

#include "support/Test.h"

#include <windows.h>
#include <aclapi.h>

#include <atomic>
#include <tuple>

namespace Tarnix::Core {
namespace {

using namespace ::Tarnix::Test;  // NOLINT(google-build-using-namespace)
using WindowsBackendTest = TempDirTest;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

win::UniqueHandle Open(const ioPath& path, DWORD access, DWORD share) {
  return win::UniqueHandle(::CreateFileW(win::Win32Path(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::wstring CurrentDirectory() {
  std::wstring current(MAX_PATH * 4, L'\0');
  current.resize(::GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data()));
  return current;
}

// Relative, forward-slashed, dotted, share and drive-root paths all come out
// absolute in the long form, and a long-form path stays as it is; the shell's
// form drops the prefix and refuses what is too long for it.
TEST(WindowsPathTest, AbsoluteLongFormForEveryKindOfPath) {
  const std::wstring current = CurrentDirectory();
  const std::pair<std::wstring, std::wstring> rows[] = {
      {L"a/b", L"\\\\?\\" + current + L"\\a\\b"},
      {L"C:/x/./y/../z", L"\\\\?\\C:\\x\\z"},
      {L"C:\\", L"\\\\?\\C:\\"},
      {L"\\\\server\\share\\dir", L"\\\\?\\UNC\\server\\share\\dir"},
      {L"\\\\?\\C:\\kept\\..\\as is", L"\\\\?\\C:\\kept\\..\\as is"},
      {L"", L""}};
  for (const auto& [path, expected] : rows) {
    EXPECT_EQ(win::Win32Path(path), expected) << ioPath(path).utf8string();
  }
  EXPECT_EQ(win::ShortFormPath(ioPath(std::wstring(L"\\\\?\\C:\\x"))), L"C:\\x");
  EXPECT_EQ(win::ShortFormPath(ioPath(std::wstring(L"\\\\server\\share\\x"))), L"\\\\server\\share\\x");
  EXPECT_EQ(win::ShortFormPath(ioPath(L"C:\\" + std::wstring(MAX_PATH, L'n'))), L"");
}

// A file another handle holds without sharing, a missing one and a folder
// opened as a file: in use, missing, no access.
TEST_F(WindowsBackendTest, FailuresAreSortedByWhatTheyMean) {
  WriteFile(dir_ / "held", "x");
  ASSERT_TRUE(ioPath::create_directory(dir_ / "folder"));
  const win::UniqueHandle holder = Open(dir_ / "held", GENERIC_READ, 0);
  ASSERT_TRUE(holder);
  const std::pair<std::string, win::Failure> rows[] = {
      {"held", win::Failure::InUse}, {"missing", win::Failure::Missing}, {"folder", win::Failure::NoAccess}};
  for (const auto& [name, kind] : rows) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(win::UniqueHandle(::CreateFileW(win::Win32Path(dir_ / name).c_str(), GENERIC_WRITE, kShareAll,
                                                 nullptr, OPEN_EXISTING, 0, nullptr)));
    EXPECT_EQ(win::LastFailure().kind, kind);
  }
}

// A share and a drive without a bin, a bin set to delete at once and an item
// over the bin's capacity are refused, each with its reason; the test's own
// drive has a bin.
TEST(RecycleBinTest, RefusesWhatItWouldDestroy) {
  const win::RecycleBin fixed{true, false, 1000};
  EXPECT_EQ(win::RecycleRefusal(fixed, 1000), "");
  EXPECT_NE(win::RecycleRefusal(fixed, 1001).find("larger (1001 bytes)"), std::string::npos);
  EXPECT_NE(win::RecycleRefusal({true, true, 1000}, 1).find("delete files at once"), std::string::npos);
  EXPECT_NE(win::RecycleRefusal({}, 1).find("no recycle bin"), std::string::npos);
  EXPECT_FALSE(win::RecycleBinFor(L"\\\\server\\share\\file").present);
  const TempDir dir;
  const win::RecycleBin local = win::RecycleBinFor(win::ShortFormPath(dir.path()));
  EXPECT_TRUE(local.present);
  EXPECT_GT(local.capacityBytes, 0u);
}

// A relative path goes to the recycle bin (Wine's is the freedesktop trash
// of XDG_DATA_HOME), not away for good.
TEST_F(WindowsBackendTest, MoveToTrashTakesARelativePathToTheBin) {
  const std::string name = "relative-" + dir_.path().filename().utf8string();
  WriteFile(dir_ / name, "keep me");
  const std::wstring before = CurrentDirectory();
  ASSERT_TRUE(::SetCurrentDirectoryW(win::ShortFormPath(dir_.path()).c_str()));
  const bool moved = MoveToTrash(ioPath(name));
  ::SetCurrentDirectoryW(before.c_str());
  EXPECT_TRUE(moved);
  EXPECT_FALSE((dir_ / name).exists());
  if (UnderWine()) {
    const ioPath trash = ioPath("Z:" + GetEnvironment("XDG_DATA_HOME")) / "Trash";
    EXPECT_EQ(ReadFile(trash / "files" / name), "keep me");
    ::DeleteFileW(win::Win32Path(trash / "files" / name).c_str());
    ::DeleteFileW(win::Win32Path(trash / "info" / (name + ".trashinfo")).c_str());
  }
}

// The staging name is the target's derived one, hidden while staged, and
// held: the sweep of abandoned staging files cannot delete it. One a killed
// copy left (nobody holds it) is taken over; one a live copy holds makes the
// next copy take a name of its own. Nothing stays once published.
TEST_F(WindowsBackendTest, StagedCopiesTakeTheDerivedNameAndHoldIt) {
  WriteFile(dir_ / "source", "new contents");
  const ioPath target = dir_ / "target";
  const ioPath derived = dir_ / internal::DerivedStagingName("target");
  WriteFile(derived, "left by a killed copy");
  {
    win::StagedFile staged;
    ASSERT_FALSE(staged.Copy(dir_ / "source", target, nullptr));
    EXPECT_EQ(staged.stagedPath(), win::Win32Path(derived));
    EXPECT_NE(::GetFileAttributesW(staged.stagedPath().c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
    EXPECT_FALSE(::DeleteFileW(staged.stagedPath().c_str()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    win::StagedFile second;
    ASSERT_FALSE(second.Copy(dir_ / "source", target, nullptr));
    const std::string secondName = ioPath(second.stagedPath()).filename().utf8string();
    EXPECT_TRUE(internal::IsStagingName(secondName));
    EXPECT_EQ(secondName.rfind(derived.filename().utf8string() + "-", 0), 0u) << secondName;
    ASSERT_FALSE(staged.Publish(/*replace=*/false));
    EXPECT_EQ(second.Publish(/*replace=*/false), std::errc::file_exists);
  }  // the unpublished one is deleted
  EXPECT_EQ(ReadFile(target), "new contents");
  EXPECT_EQ(::GetFileAttributesW(win::Win32Path(target).c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_EQ(EntriesIn(dir_.path()), 2);
}

// The routine's first call takes a handle of its own on the file being
// written, before a byte is copied; the reports count the main stream only,
// so the streams after it never pass the file's size.
TEST_F(WindowsBackendTest, ProgressRoutineHoldsTheDestinationAndCountsTheMainStream) {
  WriteFile(dir_ / "written", "");
  win::UniqueHandle writer(::CreateFileW(win::Win32Path(dir_ / "written").c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  std::vector<std::uint64_t> reports;
  const internal::CopyProgressRoutine record = [&](std::uint64_t copied) {
    reports.push_back(copied);
    return internal::CopyProgressAction::Continue;
  };
  win::CopyContext context;
  context.progress = &record;
  const auto bytes = [](long long count) {
    LARGE_INTEGER value;
    value.QuadPart = count;
    return value;
  };
  // (total of all streams, stream size, stream's bytes, stream number)
  const std::tuple<long long, long long, long long, DWORD> calls[] = {
      {0, 400, 0, 1}, {400, 400, 400, 1}, {400, 50, 0, 2}, {450, 50, 50, 2}};
  for (const auto& [total, streamSize, streamBytes, stream] : calls) {
    EXPECT_EQ(win::CopyProgress(bytes(450), bytes(total), bytes(streamSize), bytes(streamBytes), stream,
                                CALLBACK_CHUNK_FINISHED, nullptr, writer.get(), &context),
              static_cast<DWORD>(PROGRESS_CONTINUE));
  }
  EXPECT_EQ(reports, (std::vector<std::uint64_t>{0, 400, 400, 400}));
  writer.reset();
  ASSERT_TRUE(context.destination);
  EXPECT_FALSE(::DeleteFileW(win::Win32Path(dir_ / "written").c_str())) << "the routine's handle still holds it";
}

// An antivirus scanner, an indexer or a backup holds a cached file open
// sharing deletion: removing it frees the name at once, so the next put of
// the key takes it (without POSIX deletion the file is moved aside first).
TEST_F(WindowsBackendTest, CachedFileHeldSharingDeletionStillMakesRoom) {
  const std::string key = AbstractFileCache::MakeCacheKey("scanned");
  const FileCache hashed(dir_ / "hashed", 0);
  const FlatFileCache flat(dir_ / "flat");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "flat"));
  for (const AbstractFileCache* cache : {static_cast<const AbstractFileCache*>(&hashed),
                                         static_cast<const AbstractFileCache*>(&flat)}) {
    WriteFile(dir_ / "first", "first");
    ASSERT_TRUE(cache->PutRecord(key, dir_ / "first", 1000));
    const ioPath cached = cache->FindRecord(key).path;
    const win::UniqueHandle scanner = Open(cached, GENERIC_READ, kShareAll);
    ASSERT_TRUE(scanner);
    const LogCapture log;
    AbstractFileCache::CacheRecord record = cache->FindRecord(key);
    record.readLock.reset();
    EXPECT_FALSE(cache->RemoveRecord(record)) << "removed";
    EXPECT_FALSE(cached.exists());
    WriteFile(dir_ / "first", "second");
    EXPECT_TRUE(cache->PutRecord(key, dir_ / "first", 2000));
    EXPECT_EQ(ReadFile(cache->FindRecord(key).path), "second");
    EXPECT_TRUE(log.records().empty());
    // The replaced file under the scanner: still whole for it.
    char byte = 0;
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(scanner.get(), &byte, 1, &read, nullptr) && read == 1 && byte == 'f');
  }
}

// A read-only source is moved or copied, and then deleted all the same, as
// on Linux, also from another volume.
TEST_F(WindowsBackendTest, ReadOnlySourceIsPutAndRemoved) {
  const auto other = TempDirOnOtherFileSystem(dir_.path());
  const FileCache cache(dir_ / "cache", 0);
  const ioPath sources[] = {dir_ / "here", other ? *other / "there" : dir_ / "here too"};
  for (const ioPath& source : sources) {
    SCOPED_TRACE(source.utf8string());
    WriteFile(source, source.filename().utf8string());
    ASSERT_TRUE(::SetFileAttributesW(win::Win32Path(source).c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string key = AbstractFileCache::MakeCacheKey(source.utf8string());
    EXPECT_TRUE(cache.PutRecord(key, source, 1000));
    EXPECT_FALSE(source.exists());
    EXPECT_EQ(ReadFile(cache.FindRecord(key).path), source.filename().utf8string());
  }
}

// A player or a preview holds the destination open sharing everything: a
// copy over it lands where the system renames with POSIX semantics, and the
// holder keeps reading the old file. Without them (Wine has no
// FileRenameInfoEx) the copy fails and leaves the destination as it was,
// with nothing staged beside it.
TEST_F(WindowsBackendTest, CopyOverADestinationOthersHoldOpen) {
  WriteFile(dir_ / "source", "new");
  WriteFile(dir_ / "playing", "old");
  const win::UniqueHandle player = Open(dir_ / "playing", GENERIC_READ, kShareAll);
  ASSERT_TRUE(player);
  const bool posixRenames = !UnderWine();
  EXPECT_EQ(ioPath::copy_file(dir_ / "source", dir_ / "playing"), posixRenames);
  EXPECT_EQ(ReadFile(dir_ / "playing"), posixRenames ? "new" : "old");
  EXPECT_EQ(EntriesIn(dir_.path()), 2);
  char old[3] = {};
  DWORD read = 0;
  EXPECT_TRUE(::ReadFile(player.get(), old, 3, &read, nullptr) && std::string(old, read) == "old");
}

// Deeper than MAX_PATH: a copy, a cache with its clean-up walk, and a
// watcher. (Wine puts no length limit on paths without the long form, so
// there this shows the behaviour only; the form itself is checked above.)
TEST_F(WindowsBackendTest, TreesDeeperThanMaxPath) {
  ioPath deep = dir_.path();
  while (win::Win32Path(deep).size() < MAX_PATH + 40) {
    deep /= std::string(40, 'd');
    ASSERT_TRUE(::CreateDirectoryW(win::Win32Path(deep).c_str(), nullptr));
  }
  const auto read = [](const ioPath& path) {
    const win::UniqueHandle file = Open(path, GENERIC_READ, kShareAll);
    char buffer[64] = {};
    DWORD got = 0;
    return file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) ? std::string(buffer, got) : "";
  };
  WriteFile(dir_ / "source", "payload");
  ASSERT_TRUE(ioPath::copy_file(dir_ / "source", deep / "copy"));
  EXPECT_EQ(read(deep / "copy"), "payload");

  std::atomic<int> changes{0};
  const auto watcher = CreateChangeWatcher(deep, [&](const ChangeRecord&) { ++changes; });
  ASSERT_NE(watcher, nullptr);
  const std::string key = AbstractFileCache::MakeCacheKey("deep");
  {
    const FileCache cache(deep / "cache", 0);
    ASSERT_TRUE(cache.PutRecord(key, deep / "copy", 1000));
    EXPECT_EQ(read(cache.FindRecord(key).path), "payload");
  }
  const CacheBudgetReport report = ApplyCacheBudget(deep / "cache", 0);
  EXPECT_EQ(report.countedFiles, 1u);
  EXPECT_EQ(report.removedFiles, 1u);
  EXPECT_TRUE(WaitUntil([&] { return changes.load() > 0; }));
}

// A watched folder that is deleted ends its watch with a WARNING, and the
// watcher lets the folder go at once rather than when it is destroyed.
TEST_F(WindowsBackendTest, DeletedWatchedFolderIsLetGo) {
  LUM_SKIP_UNDER_WINE("ending a ReadDirectoryChangesW request when its folder is deleted (it stays pending)");
  const ioPath watched = dir_ / "watched";
  ASSERT_TRUE(ioPath::create_directory(watched));
  const LogCapture log;
  const auto watcher = CreateChangeWatcher(watched, [](const ChangeRecord&) {});
  ASSERT_NE(watcher, nullptr);
  ASSERT_TRUE(::RemoveDirectoryW(win::Win32Path(watched).c_str()));
  EXPECT_TRUE(WaitUntil([&] { return ::GetFileAttributesW(win::Win32Path(watched).c_str()) == INVALID_FILE_ATTRIBUTES; }));
  EXPECT_TRUE(WaitUntil([&] {
    const auto records = log.records();
    return std::any_of(records.begin(), records.end(), [](const LogRecord& record) {
      return record.severity == google::GLOG_WARNING && record.text.find("Watching a folder ended") == 0;
    });
  }));
  EXPECT_TRUE(ioPath::create_directory(watched)) << "the name is free again";
}

// Keys that are different names on Linux but one file, a stream or a device
// on Windows are neither stored nor found; their source stays.
TEST_F(WindowsBackendTest, FlatKeysWindowsWouldReadAsOtherNamesAreRefused) {
  const FlatFileCache flat(dir_ / "flat");
  ASSERT_TRUE(ioPath::create_directories(dir_ / "flat/sub"));
  WriteFile(dir_ / "flat/plain", "plain");
  for (const std::string key : {"plain.", "plain ", "plain:stream", "CON", "nul.txt", "com1", "LPT9.log", "sub/aux",
                                "a<b", "a?b", "sub./x"}) {
    SCOPED_TRACE(key);
    WriteFile(dir_ / "source", "x");
    EXPECT_FALSE(flat.PutRecord(key, dir_ / "source", 1000));
    EXPECT_TRUE((dir_ / "source").exists());
    EXPECT_TRUE(flat.FindRecord(key).path.empty());
  }
  EXPECT_EQ(ReadFile(dir_ / "flat/plain"), "plain");
  EXPECT_EQ(EntriesIn(dir_ / "flat"), 2);
  for (const std::wstring name : {L"plain", L"con1", L"COM0", L"a.b", L".hidden", L"CONsole.txt"}) {
    EXPECT_TRUE(win::IsPlainName(name)) << ioPath(name).utf8string();
  }
}

// A file moved into a cache takes the access its new folder passes on,
// instead of keeping the protected list it had (here: its owner alone).
TEST_F(WindowsBackendTest, FileMovedIntoACacheInheritsTheCachesAccess) {
  LUM_SKIP_UNDER_WINE("access lists inherited from the folder when a file's own list is reset");
  WriteFile(dir_ / "private", "mine");
  const auto dacl = [](const ioPath& path, SECURITY_DESCRIPTOR_CONTROL* control, bool* inherited) {
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(win::Win32Path(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, &list, nullptr, &descriptor) != ERROR_SUCCESS) {
      return false;
    }
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, control, &revision);
    *inherited = false;
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
      ACE_HEADER* ace = nullptr;
      if (::GetAce(list, i, reinterpret_cast<void**>(&ace)) && (ace->AceFlags & INHERITED_ACE) != 0) *inherited = true;
    }
    ::LocalFree(descriptor);
    return true;
  };
  // Only the owner, and protected from what the folder passes on.
  EXPLICIT_ACCESS_W owner{};
  ::BuildExplicitAccessWithNameW(&owner, const_cast<wchar_t*>(L"CURRENT_USER"), GENERIC_ALL, SET_ACCESS, NO_INHERITANCE);
  PACL ownerOnly = nullptr;
  ASSERT_EQ(::SetEntriesInAclW(1, &owner, nullptr, &ownerOnly), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(win::Win32Path(dir_ / "private").c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    ownerOnly, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  ::LocalFree(ownerOnly);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  bool inherited = true;
  ASSERT_TRUE(dacl(dir_ / "private", &control, &inherited));
  ASSERT_FALSE(inherited);

  // The cache root passes reading on to everyone (a root shared by users).
  ASSERT_TRUE(ioPath::create_directory(dir_ / "cache"));
  EXPLICIT_ACCESS_W everyone{};
  ::BuildExplicitAccessWithNameW(&everyone, const_cast<wchar_t*>(L"EVERYONE"), GENERIC_READ | GENERIC_WRITE | DELETE,
                                 GRANT_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  PACL shared = nullptr;
  ASSERT_EQ(::SetEntriesInAclW(1, &everyone, nullptr, &shared), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_EQ(::SetNamedSecurityInfoW(const_cast<wchar_t*>(win::Win32Path(dir_ / "cache").c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, shared, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
  ::LocalFree(shared);
  const FileCache cache(dir_ / "cache", 0);
  const std::string key = AbstractFileCache::MakeCacheKey("private");
  ASSERT_TRUE(cache.PutRecord(key, dir_ / "private", 1000));
  const ioPath cached = cache.FindRecord(key).path;
  ASSERT_TRUE(dacl(cached, &control, &inherited));
  EXPECT_EQ(control & SE_DACL_PROTECTED, 0);
  EXPECT_TRUE(inherited) << "what the cache root passes on";
}

}  // namespace
}  // namespace Tarnix::Core
