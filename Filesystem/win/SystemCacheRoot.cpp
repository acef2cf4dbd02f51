// The per-user cache root on Windows: the local application-data folder.
#include "Filesystem/ShellOperations.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <memory>

namespace Tarnix::Core {

namespace {

struct CoTaskMemFreer {
  void operator()(wchar_t* text) const noexcept { ::CoTaskMemFree(text); }
};

}  // namespace

ioPath GetSystemCacheRoot() {
  ioPath root;
  wchar_t* raw = nullptr;
  const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &raw);
  // The string is freed whether or not the call succeeded.
  const std::unique_ptr<wchar_t, CoTaskMemFreer> folder(raw);
  if (SUCCEEDED(result) && folder) root = std::wstring(folder.get());
  return root;
}

}  // namespace Tarnix::Core
