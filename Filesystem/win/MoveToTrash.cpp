// The recycle bin through the shell's file operation, without any dialog.
#include "Filesystem/FileOperations.h"
#include "Filesystem/ShellOperations.h"

#include <windows.h>
#include <shellapi.h>

#include <glog/logging.h>

#include <algorithm>
#include <string>

namespace Tarnix::Core {

bool MoveToTrash(const ioPath& path) {
  if (!FileExists(path)) return false;

  // The shell takes a list of names, each NUL-terminated, the list ended by
  // a second NUL: one name, one extra NUL after the string's own.
  std::wstring names = path.wstring();
  std::replace(names.begin(), names.end(), L'/', L'\\');
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
