// The recycle bin through the shell's file operation, without any dialog.
// The path is made absolute first (the shell destroys a relative one instead
// of recycling it), and what the bin cannot take is refused before the shell
// is asked (win/RecycleBin.h).
#include "Filesystem/FileOperations.h"
#include "Filesystem/ShellOperations.h"
#include "Filesystem/internal/TreeWalk.h"
#include "Filesystem/win/Path.h"
#include "Filesystem/win/RecycleBin.h"

#include <windows.h>
#include <shellapi.h>

#include <glog/logging.h>

#include <exception>
#include <string>

namespace Tarnix::Core {

namespace win {

namespace {

constexpr wchar_t kBitBucketVolumes[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\BitBucket\\Volume\\";

bool ReadSetting(const std::wstring& key, const wchar_t* name, DWORD* value) {
  DWORD size = sizeof *value;
  return ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, value, &size) ==
         ERROR_SUCCESS;
}

// The bytes of the file, or of all files below the folder, at `path`.
unsigned long long ItemBytes(const ioPath& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Win32Path(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  unsigned long long total = 0;
  internal::VisitFilesBelow(path, [&](const ioPath&, unsigned long long size) { total += size; });
  return total;
}

}  // namespace

RecycleBin RecycleBinFor(const std::wstring& fullPath) {
  RecycleBin bin;
  if (fullPath.rfind(L"\\\\", 0) == 0) return bin;  // a share
  wchar_t root[MAX_PATH + 1] = {};
  if (!::GetVolumePathNameW(fullPath.c_str(), root, MAX_PATH)) return bin;
  if (::GetDriveTypeW(root) != DRIVE_FIXED) return bin;
  bin.present = true;
  ULARGE_INTEGER total{};
  if (::GetDiskFreeSpaceExW(root, nullptr, &total, nullptr)) bin.capacityBytes = total.QuadPart / 20;
  // The user's settings for the volume, under its GUID.
  wchar_t volume[MAX_PATH + 1] = {};
  if (!::GetVolumeNameForVolumeMountPointW(root, volume, MAX_PATH)) return bin;
  const std::wstring name(volume);
  const std::size_t open = name.find(L'{');
  const std::size_t close = name.find(L'}');
  if (open == std::wstring::npos || close == std::wstring::npos) return bin;
  const std::wstring key = kBitBucketVolumes + name.substr(open, close - open + 1);
  DWORD value = 0;
  if (ReadSetting(key, L"NukeOnDelete", &value)) bin.deletesAtOnce = value != 0;
  if (ReadSetting(key, L"MaxCapacity", &value)) bin.capacityBytes = static_cast<unsigned long long>(value) << 20;
  return bin;
}

std::string RecycleRefusal(const RecycleBin& bin, unsigned long long bytes) {
  if (!bin.present) return "its drive has no recycle bin (a network share, a removable or optical drive)";
  if (bin.deletesAtOnce) return "the recycle bin of its drive is set to delete files at once";
  if (bytes > bin.capacityBytes) {
    return "it is larger (" + std::to_string(bytes) + " bytes) than the recycle bin of its drive holds (" +
           std::to_string(bin.capacityBytes) + " bytes)";
  }
  return {};
}

}  // namespace win

bool MoveToTrash(const ioPath& path) {
  if (!FileExists(path)) return false;

  // The shell takes no long-form path, and recycles only a full one.
  const std::wstring full = win::ShortFormPath(path);
  if (full.empty()) {
    LOG(ERROR) << "Not moving to trash " << path.utf8string()
               << ": the recycle bin takes no path this long (MAX_PATH)";
    return false;
  }
  std::string refusal;
  try {
    refusal = win::RecycleRefusal(win::RecycleBinFor(full), win::ItemBytes(path));
  } catch (const std::exception& e) {
    refusal = e.what();
  }
  if (!refusal.empty()) {
    LOG(ERROR) << "Not moving to trash " << path.utf8string() << ": " << refusal;
    return false;
  }

  // The shell takes a list of names, each NUL-terminated, the list ended by
  // a second NUL: one name, one extra NUL after the string's own.
  std::wstring names = full;
  names.push_back(L'\0');

  SHFILEOPSTRUCTW operation{};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = names.c_str();
  operation.pTo = nullptr;
  // FOF_ALLOWUNDO sends the files to the recycle bin; the others keep every
  // progress, confirmation and error dialog away.
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_ALLOWUNDO | FOF_NOERRORUI;
  operation.lpszProgressTitle = nullptr;
  const int result = ::SHFileOperationW(&operation);
  if (result != 0) {
    LOG(ERROR) << "Moving to trash failed with code:" << result;
    return false;
  }
  return true;
}

}  // namespace Tarnix::Core
