// Placing files on Windows without replacing: MoveFileExW without
// MOVEFILE_REPLACE_EXISTING never overwrites (ERROR_ALREADY_EXISTS), fails
// between volumes (ERROR_NOT_SAME_DEVICE) and fails on a file someone holds a
// read lock on (ERROR_SHARING_VIOLATION, as the lock shares no deletion).
// Copies are staged under a temporary name beside the target and renamed into
// place once complete; CopyFileExW holds the staged file exclusively while it
// writes it, so a reader that meets it passes over it.
#include "Filesystem/internal/FilePlacement.h"

#include "Filesystem/win/Handle.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <sys/utime.h>

#include <string>

namespace Tarnix::Core::internal {

namespace {

// Both times of `path` to whole seconds since 1970. _wutime64 opens the file
// for writing, which a read-only file refuses; its attribute-writing handle
// does not.
[[nodiscard]] std::error_code SetBothTimes(const std::wstring& path, long long seconds) {
  __utimbuf64 times{seconds, seconds};
  if (::_wutime64(path.c_str(), &times) == 0) return {};
  const win::UniqueHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return win::LastError();
  // 100-nanosecond ticks since 1601-01-01.
  const auto ticks = static_cast<unsigned long long>(seconds) * 10'000'000ULL + 116'444'736'000'000'000ULL;
  FILETIME filetime{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
  if (!::SetFileTime(file.get(), nullptr, &filetime, &filetime)) return win::LastError();
  return {};
}

// A name beside `to` that no other writer picks and no listing takes for a
// cached file: hidden-style, short, and random.
std::wstring StagingPath(const ioPath& to) {
  const std::string name = "." + boost::uuids::to_string(boost::uuids::random_generator()()) + ".staging";
  return (to.parent_path() / ioPath(name)).wstring();
}

}  // namespace

std::error_code MoveIntoPlace(const ioPath& from, const ioPath& to, long long timestamp, bool* placed) {
  *placed = false;
  const std::wstring source = from.wstring();
  const std::wstring target = to.wstring();
  // Stamp the file before it appears at its new path, and restore its old
  // times if it does not move.
  WIN32_FILE_ATTRIBUTE_DATA before{};
  const bool hadTimes = ::GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &before) != FALSE;
  const bool stamped = hadTimes && !SetBothTimes(source, timestamp);
  if (!::MoveFileExW(source.c_str(), target.c_str(), 0)) {
    const std::error_code error = win::LastError();
    if (stamped) {
      const win::UniqueHandle file(::CreateFileW(source.c_str(), FILE_WRITE_ATTRIBUTES,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, 0, nullptr));
      if (file) ::SetFileTime(file.get(), nullptr, &before.ftLastAccessTime, &before.ftLastWriteTime);
    }
    return error;
  }
  *placed = true;
  if (!stamped) return SetBothTimes(target, timestamp);
  return {};
}

std::error_code CopyIntoPlace(const ioPath& from, const ioPath& to, long long timestamp, Staging /*staging*/) {
  const DWORD attributes = ::GetFileAttributesW(from.wstring().c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return win::LastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::make_error_code(std::errc::invalid_argument);

  const std::wstring staged = StagingPath(to);
  BOOL cancel = FALSE;
  if (!::CopyFileExW(from.wstring().c_str(), staged.c_str(), nullptr, nullptr, &cancel, COPY_FILE_FAIL_IF_EXISTS)) {
    return win::LastError();
  }
  std::error_code error = SetBothTimes(staged, timestamp);
  if (!error && !::MoveFileExW(staged.c_str(), to.wstring().c_str(), 0)) error = win::LastError();
  if (error) {
    ::SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only copy must go too
    ::DeleteFileW(staged.c_str());
  }
  return error;
}

}  // namespace Tarnix::Core::internal
