// Junctions on NTFS: a directory carrying a mount-point reparse record, read
// and written through DeviceIoControl. The record's bytes are built and read
// by the portable codec (internal/ReparseRecord.h) in a buffer on the stack.
#include "Filesystem/internal/DirectoryLink.h"

#include "Filesystem/internal/ReparseRecord.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"

#include <shlwapi.h>
#include <winioctl.h>

#include <string>

namespace Tarnix::Core::internal {

namespace {

// Opens the link entry itself, not its target; FILE_FLAG_BACKUP_SEMANTICS
// lets a directory be opened at all.
constexpr DWORD kOpenReparsePoint = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

std::u16string ToUtf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring FromUtf16(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

bool LinkEntryExists(const ioPath& link) { return ::PathFileExistsW(link.wstring().c_str()) != FALSE; }

std::error_code LinkEntryLastWriteTime(const ioPath& link, long long* seconds) {
  // The attributes of a reparse point are its own; its target is not consulted.
  WIN32_FILE_ATTRIBUTE_DATA entry{};
  if (!::GetFileAttributesExW(link.wstring().c_str(), GetFileExInfoStandard, &entry)) return win::LastError();
  *seconds = win::ToSeconds(entry.ftLastWriteTime);
  return {};
}

LinkReading ReadDirectoryLink(const ioPath& link) {
  LinkReading reading;
  const win::UniqueHandle file(::CreateFileW(link.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, kOpenReparsePoint, nullptr));
  if (!file) {
    reading.error = win::LastError();
    return reading;
  }
  ReparseBuffer buffer{};
  DWORD returned = 0;
  if (!::DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
    // An ordinary directory or file carries no reparse data.
    reading.state = LinkReading::State::NotALink;
    reading.error = win::LastError();
    return reading;
  }
  reading.state = LinkReading::State::Link;
  reading.mountPoint = ReparseTag(buffer) == kMountPointReparseTag;
  reading.target = ioPath(FromUtf16(StripNtObjectPrefix(SubstituteName(buffer))));
  return reading;
}

LinkCreation CreateDirectoryLink(const ioPath& link, const ioPath& /*target*/, const ioPath& prefixedTarget) {
  ReparseBuffer buffer{};
  const std::size_t size = BuildMountPointRecord(ToUtf16(prefixedTarget.wstring()), buffer);
  const std::wstring path = link.wstring();

  // Absent, then an empty directory, then a junction: the middle state never
  // outlives a failure.
  if (!::CreateDirectoryW(path.c_str(), nullptr)) return {LinkCreationStep::Create, win::LastError()};
  win::UniqueHandle directory(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kOpenReparsePoint, nullptr));
  if (!directory) {
    const std::error_code error = win::LastError();
    ::RemoveDirectoryW(path.c_str());
    return {LinkCreationStep::Open, error};
  }
  DWORD returned = 0;
  if (!::DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(size), nullptr,
                         0, &returned, nullptr)) {
    const std::error_code error = win::LastError();  // before the removal can overwrite it
    directory.reset();  // an open handle that shares nothing would keep the directory
    ::RemoveDirectoryW(path.c_str());
    return {LinkCreationStep::SetTarget, error};
  }
  return {};
}

}  // namespace Tarnix::Core::internal
