// Each Windows user has a temporary folder of their own, so a directory there
// needs no permission bits of ours; what is refused is a junction or another
// reparse point that someone could have made to lead elsewhere.
#include "Filesystem/internal/PrivateDirectory.h"

#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

namespace Tarnix::Core::internal {

std::error_code CreatePrivateDirectory(const ioPath& path) {
  if (!::CreateDirectoryW(win::Win32Path(path).c_str(), nullptr)) return win::LastError();
  return {};
}

PrivateDirectoryState MakePrivateDirectory(const ioPath& path) {
  // A failed creation is not an error here: what counts is what is there now.
  (void)CreatePrivateDirectory(path);
  const DWORD attributes = ::GetFileAttributesW(win::Win32Path(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PrivateDirectoryState::kMissing;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return PrivateDirectoryState::kForeign;
  return PrivateDirectoryState::kUsable;
}

}  // namespace Tarnix::Core::internal
