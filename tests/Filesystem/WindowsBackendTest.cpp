// The pieces of the Windows backend that no portable call shows on its own:
// the one path form, the sorting of failures, the recycle bin's refusals, the
// staged copy's names and holding (its progress routine: CopyFilesTest), and
// what other programs' open handles do to caches and copies (an antivirus
// scanner, a player, a preview). Some run only on Windows itself: Wine lacks
// what they need (each says what).
#include "Filesystem/FileCache.h"
#include "Filesystem/ShellOperations.h"
#include "Filesystem/DirectoryWatcher.h"
#include "Filesystem/CopyFiles.h"
#include "Filesystem/FlatFileCache.h"
#include "Filesystem/Junction.h"
#include "Filesystem/internal/StagingName.h"
#include "Filesystem/win/Path.h"
#include "Filesystem/win/RecycleBin.h"
#include "Filesystem/win/StagedFile.h"

#include "support/Test.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <cwchar>

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

// Gives `path` an access list of one entry for `trustee` (a name such as
// CURRENT_USER or EVERYONE); `protect` stops what its folder passes on.
DWORD SetAccess(const ioPath& path, const wchar_t* trustee, DWORD access, ACCESS_MODE mode, DWORD inheritance,
                bool protect) {
  EXPLICIT_ACCESS_W entry{};
  ::BuildExplicitAccessWithNameW(&entry, const_cast<wchar_t*>(trustee), access, mode, inheritance);
  PACL list = nullptr;
  DWORD result = ::SetEntriesInAclW(1, &entry, nullptr, &list);
  if (result != ERROR_SUCCESS) return result;
  result = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(win::Win32Path(path).c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | (protect ? PROTECTED_DACL_SECURITY_INFORMATION : 0),
                                   nullptr, nullptr, list, nullptr);
  ::LocalFree(list);
  return result;
}

// The current user's folder in the recycle bin of `path`'s volume: <volume>\$Recycle.Bin\<SID>.
ioPath UsersRecycleBin(const ioPath& path) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  const win::UniqueHandle owner(token);
  alignas(TOKEN_USER) char buffer[512];
  DWORD size = 0;
  wchar_t* sid = nullptr;
  wchar_t volume[MAX_PATH + 1] = {};
  if (!::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) ||
      !::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid) ||
      !::GetVolumePathNameW(win::ShortFormPath(path).c_str(), volume, MAX_PATH)) {
    return {};
  }
  const ioPath bin(std::wstring(volume) + L"$Recycle.Bin\\" + sid);
  ::LocalFree(sid);
  return bin;
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
  } else {
    // The bin keeps the file as $R<id> beside its record $I<id>: a header of
    // 24 bytes, then (version 2) the length and the original path.
    const ioPath bin = UsersRecycleBin(dir_.path());
    bool found = false;
    for (const auto& entry : boost::filesystem::directory_iterator(bin.wstring())) {
      const std::wstring id = entry.path().filename().wstring();
      if (id.rfind(L"$I", 0) != 0) continue;
      const std::string record = ReadFile(ioPath(entry.path().wstring()));
      if (record.size() < 28) continue;
      std::wstring original((record.size() - 28) / sizeof(wchar_t), L'\0');
      std::memcpy(original.data(), record.data() + 28, original.size() * sizeof(wchar_t));
      original.resize(std::wcslen(original.c_str()));
      if (ioPath(original).filename().utf8string() != name) continue;
      found = true;
      const ioPath kept = bin / ioPath(L"$R" + id.substr(2));
      EXPECT_EQ(ReadFile(kept), "keep me");
      ::DeleteFileW(win::Win32Path(kept).c_str());
      ::DeleteFileW(win::Win32Path(ioPath(entry.path().wstring())).c_str());
    }
    EXPECT_TRUE(found) << name << " is not in " << bin;
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

// An antivirus scanner, an indexer or a backup (another process) holds a
// cached file open sharing deletion: removing it frees the name at once, so
// the next put of the key takes it (without POSIX deletion, as under Wine,
// the file is moved aside first).
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
    const ioPath scanning = dir_ / "scanning";
    Process scanner(HelperProgram(LUM_CACHE_LOCK_HOLDER), {"--scan", cached.utf8string(), scanning.utf8string()},
                    dir_.path());
    ASSERT_TRUE(WaitUntil([&] { return scanning.exists(); })) << scanner.Err();
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
    ASSERT_TRUE(ioPath::remove(scanning));
    const ProcessResult scanned = scanner.Finish();
    EXPECT_EQ(scanned.status, 0) << scanned.err;
    EXPECT_EQ(scanned.out, "first");
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
  const bool posixRenames = !UnderWine();
  for (const bool copyFiles : {false, true}) {
    SCOPED_TRACE(copyFiles ? "CopyFiles" : "copy_file");
    WriteFile(dir_ / "source", "new");
    WriteFile(dir_ / "playing", "old");
    const win::UniqueHandle player = Open(dir_ / "playing", GENERIC_READ, kShareAll);
    ASSERT_TRUE(player);
    const bool copied = copyFiles ? CopyFiles({{dir_ / "source", dir_ / "playing"}},
                                              boost::intrusive_ptr<IProgressController>(new ProgressControllerStub), true)
                                  : ioPath::copy_file(dir_ / "source", dir_ / "playing");
    EXPECT_EQ(copied, posixRenames);
    EXPECT_EQ(ReadFile(dir_ / "playing"), posixRenames ? "new" : "old");
    EXPECT_EQ(EntriesIn(dir_.path()), 2);
    char old[3] = {};
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(player.get(), old, 3, &read, nullptr) && std::string(old, read) == "old");
  }
}

// Stamps from both halves of the daylight-saving year come back to the
// second through the cache and the path: a conversion through local time
// (the C runtime's) would be an hour off for one of them, in any zone with
// daylight saving time.
TEST_F(WindowsBackendTest, StampsFromEitherHalfOfTheYearComeBackExact) {
  const FileCache cache(dir_ / "cache", 0);
  for (const long long stamp : {1705312800LL, 1721037600LL}) {  // 2024-01-15 and 2024-07-15, 10:00 UTC
    SCOPED_TRACE(stamp);
    const std::string key = AbstractFileCache::MakeCacheKey(std::to_string(stamp));
    WriteFile(dir_ / "source", "x");
    ASSERT_TRUE(cache.PutRecord(key, dir_ / "source", stamp));
    const AbstractFileCache::CacheRecord record = cache.FindRecord(key);
    EXPECT_EQ(record.timestamp, stamp);
    EXPECT_EQ(record.path.last_write_time(), stamp);
    EXPECT_TRUE(HasBothTimes(record.path, stamp));
  }
}

// A junction that Windows' own tool made (mklink /J) is read as one, with
// its target; the library's own junctions are checked in JunctionTest.
TEST_F(WindowsBackendTest, JunctionMadeByTheSystemIsRead) {
  LUM_SKIP_UNDER_WINE("FSCTL_SET_REPARSE_POINT (mklink /J makes no junction)");
  const ioPath target = dir_ / "target", link = dir_ / "link";
  ASSERT_TRUE(ioPath::create_directory(target));
  wchar_t system[MAX_PATH] = {};
  ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
  const ProcessResult made = Process(ioPath(std::wstring(system) + L"\\cmd.exe").utf8string(),
                                     {"/c", "mklink", "/J", link.utf8string(), target.utf8string()}, dir_.path())
                                 .Finish();
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  EXPECT_TRUE(Junction::isJunction(link));
  EXPECT_EQ(Junction(link).targetPath(), target);
  EXPECT_TRUE(Junction(link).targetExists());
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
  ASSERT_EQ(SetAccess(dir_ / "private", L"CURRENT_USER", GENERIC_ALL, SET_ACCESS, NO_INHERITANCE, true),
            static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  bool inherited = true;
  ASSERT_TRUE(dacl(dir_ / "private", &control, &inherited));
  ASSERT_FALSE(inherited);

  // The cache root passes reading on to everyone (a root shared by users).
  ASSERT_TRUE(ioPath::create_directory(dir_ / "cache"));
  ASSERT_EQ(SetAccess(dir_ / "cache", L"EVERYONE", GENERIC_READ | GENERIC_WRITE | DELETE, GRANT_ACCESS,
                      SUB_CONTAINERS_AND_OBJECTS_INHERIT, false),
            static_cast<DWORD>(ERROR_SUCCESS));
  const FileCache cache(dir_ / "cache", 0);
  const std::string key = AbstractFileCache::MakeCacheKey("private");
  ASSERT_TRUE(cache.PutRecord(key, dir_ / "private", 1000));
  const ioPath cached = cache.FindRecord(key).path;
  ASSERT_TRUE(dacl(cached, &control, &inherited));
  EXPECT_EQ(control & SE_DACL_PROTECTED, 0);
  EXPECT_TRUE(inherited) << "what the cache root passes on";
}

// A file moved into a shared cache from a folder only its owner may read is
// then read by another user of the machine. Needs a second local account,
// named with its password in LUMFS_TEST_OTHER_USER and
// LUMFS_TEST_OTHER_PASSWORD; the check runs as that user by impersonation.
TEST_F(WindowsBackendTest, FileMovedInFromAPrivateFolderIsReadByAnotherUser) {
  LUM_SKIP_UNDER_WINE("access lists inherited from the folder when a file's own list is reset");
  const std::string user = GetEnvironment("LUMFS_TEST_OTHER_USER");
  if (user.empty()) {
    GTEST_SKIP() << "no second account: set LUMFS_TEST_OTHER_USER and LUMFS_TEST_OTHER_PASSWORD to a local user's";
  }
  HANDLE token = nullptr;
  ASSERT_TRUE(::LogonUserW(ioPath(user).wstring().c_str(), L".",
                           ioPath(GetEnvironment("LUMFS_TEST_OTHER_PASSWORD")).wstring().c_str(),
                           LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token))
      << "cannot log on as " << user << ": error " << ::GetLastError();
  const win::UniqueHandle other(token);
  const auto readAsOther = [&](const ioPath& path) {
    if (!::ImpersonateLoggedOnUser(token)) return std::string("(no impersonation)");
    const win::UniqueHandle file = Open(path, GENERIC_READ, kShareAll);
    char buffer[16] = {};
    DWORD got = 0;
    const bool read = file && ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr);
    ::RevertToSelf();
    return read ? std::string(buffer, got) : std::string();
  };

  ASSERT_TRUE(ioPath::create_directory(dir_ / "private"));
  ASSERT_EQ(SetAccess(dir_ / "private", L"CURRENT_USER", GENERIC_ALL, SET_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT,
                      true),
            static_cast<DWORD>(ERROR_SUCCESS));
  WriteFile(dir_ / "private/file", "mine");
  ASSERT_EQ(readAsOther(dir_ / "private/file"), "") << user << " reads the private file already";
  ASSERT_TRUE(ioPath::create_directory(dir_ / "cache"));
  ASSERT_EQ(SetAccess(dir_ / "cache", L"EVERYONE", GENERIC_READ, GRANT_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT,
                      false),
            static_cast<DWORD>(ERROR_SUCCESS));
  const FileCache cache(dir_ / "cache", 0);
  const std::string key = AbstractFileCache::MakeCacheKey("moved in");
  ASSERT_TRUE(cache.PutRecord(key, dir_ / "private/file", 1000));
  EXPECT_EQ(readAsOther(cache.FindRecord(key).path), "mine");
}

}  // namespace
}  // namespace Tarnix::Core
