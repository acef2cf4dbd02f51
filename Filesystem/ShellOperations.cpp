// The portable halves of the shell and attribute operations.
#include "Filesystem/ShellOperations.h"
#include "Filesystem/internal/PathAttribute.h"

namespace Tarnix::Core {

bool SetPathAttribute(const ioPath& path, PathAttribute attributes) {
  return !internal::ApplyWindowsAttributes(path, internal::ToWindowsAttributes(attributes));
}

}  // namespace Tarnix::Core
