#include "Filesystem/internal/PathAttribute.h"

#include "Filesystem/win/Handle.h"
#include "Filesystem/win/Path.h"

namespace Tarnix::Core::internal {

std::error_code ApplyWindowsAttributes(const ioPath& path, std::uint32_t windowsAttributes) {
  if (!::SetFileAttributesW(win::Win32Path(path).c_str(), windowsAttributes)) return win::LastError();
  return {};
}

}  // namespace Tarnix::Core::internal
