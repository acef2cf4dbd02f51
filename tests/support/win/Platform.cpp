// The Windows half of the test support: test directories, file times,
// volumes and what Test.h says about the system.
#include "support/Test.h"

#include <windows.h>

#include <cstdlib>
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

std::unique_ptr<TempDir> TempDirOnOtherFileSystem(const ioPath& than) {
  if (UnderWine()) {
    // Wine's drives are separate devices to Windows programs, whatever they
    // map to: Z: is the Linux root.
    auto other = std::make_unique<TempDir>("Z:\\tmp");
    if (!OnDifferentFileSystems(than, other->path())) other.reset();
    return other;
  }
  // The first other local drive (a second disk, a USB stick) that takes a
  // folder; a card reader without a card answers with an error, not a dialog.
  DWORD errorMode = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &errorMode);
  std::unique_ptr<TempDir> other;
  const DWORD drives = ::GetLogicalDrives();
  for (int letter = 0; letter < 26 && !other; ++letter) {
    const std::wstring root = std::wstring(1, static_cast<wchar_t>(L'A' + letter)) + L":\\";
    const UINT type = ::GetDriveTypeW(root.c_str());
    if ((drives & (1u << letter)) == 0 || (type != DRIVE_FIXED && type != DRIVE_REMOVABLE) ||
        !OnDifferentFileSystems(than, ioPath(root))) {
      continue;
    }
    try {
      other = std::make_unique<TempDir>(ioPath(root).utf8string());
    } catch (const std::exception&) {
      // not writable here: the next drive
    }
  }
  ::SetThreadErrorMode(errorMode, nullptr);
  return other;
}

bool HasBothTimes(const ioPath& path, long long seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  const auto same = [&](const FILETIME& time) {  // 100-nanosecond ticks since 1601-01-01
    return ((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) ==
           static_cast<unsigned long long>(seconds) * 10'000'000ULL + 116'444'736'000'000'000ULL;
  };
  return ::GetFileAttributesExW(path.wstring().c_str(), GetFileExInfoStandard, &data) &&
         same(data.ftLastAccessTime) && same(data.ftLastWriteTime);
}

bool OnDifferentFileSystems(const ioPath& a, const ioPath& b) {
  wchar_t volumeA[MAX_PATH + 1] = {};
  wchar_t volumeB[MAX_PATH + 1] = {};
  return ::GetVolumePathNameW(a.wstring().c_str(), volumeA, MAX_PATH) &&
         ::GetVolumePathNameW(b.wstring().c_str(), volumeB, MAX_PATH) && std::wstring(volumeA) != volumeB;
}

bool UnderWine() {
  static const bool wine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

ioPath RunningProgram() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return ioPath(path);
}

std::size_t OpenHandleCount() {
  DWORD count = 0;
  ::GetProcessHandleCount(::GetCurrentProcess(), &count);
  return count;
}

std::string GetEnvironment(const std::string& name) {
  const wchar_t* value = ::_wgetenv(ioPath(name).wstring().c_str());
  return value != nullptr ? ioPath(std::wstring(value)).utf8string() : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
  ::_wputenv_s(ioPath(name).wstring().c_str(), ioPath(value).wstring().c_str());
}

}  // namespace Tarnix::Test
