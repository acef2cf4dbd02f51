// The one place that turns an error code into the file-system library's
// exception, so that every throw names its path and reason the same way.
#pragma once

#include "Filesystem/ioPath.h"

#include <string>
#include <system_error>

namespace Tarnix::Core::internal {

// Throws boost::filesystem::filesystem_error with `what`, `path` and `error`
// (errors of the generic and system categories keep their category).
[[noreturn]] void ThrowFilesystemError(const std::string& what, const ioPath& path, std::error_code error);

}  // namespace Tarnix::Core::internal
