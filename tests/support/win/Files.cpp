// The Windows parts of the test directories.
#include "support/TempDir.h"

#include "support/Platform.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>

#include <stdexcept>

namespace fs = boost::filesystem;

namespace Tarnix::Test {

namespace detail {

ioPath MakeUniqueDirectory(const std::string& parent) {
  const fs::path base = parent.empty() ? fs::temp_directory_path() : fs::path(ioPath(parent).wstring());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / fs::unique_path(L"lumfs-test-%%%%-%%%%-%%%%");
    if (::CreateDirectoryW(candidate.c_str(), nullptr)) return ioPath(candidate);
  }
  throw std::runtime_error("cannot create a test directory below " + ioPath(base).utf8string());
}

void ForceRemoveTree(const ioPath& path) {
  // Tests may leave read-only entries; a read-only file cannot be deleted.
  boost::system::error_code ec;
  for (fs::recursive_directory_iterator it(fs::path(path.wstring()), ec), end; !ec && it != end; it.increment(ec)) {
    ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  fs::remove_all(fs::path(path.wstring()), ec);
}

}  // namespace detail

void SetFileTime(const ioPath& path, long long secondsSinceEpoch) {
  const HANDLE file = ::CreateFileW(path.wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path.utf8string());
  // 100-nanosecond ticks since 1601-01-01.
  const auto ticks = static_cast<unsigned long long>(secondsSinceEpoch) * 10'000'000ULL + 116'444'736'000'000'000ULL;
  const FILETIME time{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  const BOOL set = ::SetFileTime(file, nullptr, &time, &time);
  ::CloseHandle(file);
  if (!set) throw std::runtime_error("SetFileTime failed on " + path.utf8string());
}

std::unique_ptr<TempDir> TempDirOnOtherFileSystem(const ioPath& than) {
  // Wine's drives are separate devices to Windows programs, whatever they
  // map to: Z: is the Linux root.
  if (!UnderWine()) return nullptr;
  auto other = std::make_unique<TempDir>("Z:\\tmp");
  if (!OnDifferentFileSystems(than, other->path())) other.reset();
  return other;
}

bool HasBothTimes(const ioPath& path, long long seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data)) return false;
  const auto ticks = static_cast<unsigned long long>(seconds) * 10'000'000ULL + 116'444'736'000'000'000ULL;
  const auto same = [ticks](const FILETIME& time) {
    return ((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) == ticks;
  };
  return same(data.ftLastAccessTime) && same(data.ftLastWriteTime);
}

bool OnDifferentFileSystems(const ioPath& a, const ioPath& b) {
  wchar_t volumeA[MAX_PATH + 1] = {};
  wchar_t volumeB[MAX_PATH + 1] = {};
  return ::GetVolumePathNameW(a.wstring().c_str(), volumeA, MAX_PATH) &&
         ::GetVolumePathNameW(b.wstring().c_str(), volumeB, MAX_PATH) && std::wstring(volumeA) != volumeB;
}

}  // namespace Tarnix::Test
