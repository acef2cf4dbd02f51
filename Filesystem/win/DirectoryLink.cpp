// Junctions on NTFS: a directory carrying a mount-point reparse record, read
// and written through DeviceIoControl. The record's bytes are built and read
// by the portable codec (internal/ReparseRecord.h) in a buffer on the stack.
#include "Filesystem/internal/DirectoryLink.h"

#include "Filesystem/internal/ReparseRecord.h"
#include "Filesystem/win/FileTime.h"
#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

#include <winioctl.h>

#include <cstring>
#include <string>

namespace Tarnix::Core::internal {

namespace {

// Opens the link entry itself, not its target; FILE_FLAG_BACKUP_SEMANTICS
// lets a directory be opened at all.
constexpr DWORD kOpenReparsePoint = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

// A directory symbolic link's record has four bytes of flags before its
// names, where a mount point's names begin.
constexpr std::uint32_t kSymbolicLinkReparseTag = 0xA000000C;
constexpr std::size_t kSymbolicLinkFlagsOffset = 16;
constexpr std::size_t kSymbolicLinkFlagsBytes = 4;

// The target as a junction must store it: absolute, `\` separators, and
// the NT object prefix (`\??\C:\…`, `\??\UNC\server\share\…`). A
// relative or forward-slash target would never resolve.
std::wstring StoredTarget(const ioPath& target) {
  const std::wstring full = win::Win32Path(target);  // \\?\ and the rest
  return full.empty() ? full : L"\\??\\" + full.substr(4);
}

std::u16string ToUtf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }
std::wstring FromUtf16(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

bool LinkEntryExists(const ioPath& link) {
  return ::GetFileAttributesW(win::Win32Path(link).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::error_code LinkEntryLastWriteTime(const ioPath& link, long long* seconds) {
  // The attributes of a reparse point are its own; its target is not consulted.
  WIN32_FILE_ATTRIBUTE_DATA entry{};
  if (!::GetFileAttributesExW(win::Win32Path(link).c_str(), GetFileExInfoStandard, &entry)) return win::LastError();
  *seconds = win::ToSeconds(entry.ftLastWriteTime);
  return {};
}

LinkReading ReadDirectoryLink(const ioPath& link) {
  LinkReading reading;
  // Reading the record needs no more than the attributes, and shares all.
  const win::UniqueHandle file(::CreateFileW(win::Win32Path(link).c_str(), FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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
  if (ReparseTag(buffer) == kSymbolicLinkReparseTag) {
    // Read its names as a mount point's: without the flags.
    const std::size_t from = kSymbolicLinkFlagsOffset + kSymbolicLinkFlagsBytes;
    std::memmove(buffer.data() + kSymbolicLinkFlagsOffset, buffer.data() + from, buffer.size() - from);
    std::memset(buffer.data() + buffer.size() - kSymbolicLinkFlagsBytes, 0, kSymbolicLinkFlagsBytes);
  }
  reading.target = ioPath(FromUtf16(StripNtObjectPrefix(SubstituteName(buffer))));
  return reading;
}

LinkCreation CreateDirectoryLink(const ioPath& link, const ioPath& target, const ioPath& /*prefixedTarget*/) {
  ReparseBuffer buffer{};
  const std::size_t size = BuildMountPointRecord(ToUtf16(StoredTarget(target)), buffer);
  // Made absolute, the target may have grown past what a record holds.
  if (size == 0) return {LinkCreationStep::SetTarget, std::make_error_code(std::errc::filename_too_long)};
  const std::wstring path = win::Win32Path(link);

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
