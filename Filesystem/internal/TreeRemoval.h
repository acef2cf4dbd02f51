// Removing a tree entry by entry, so that a caller can follow the removal
// (RemoveDir with a progress callback) without making it slower than the
// removal in one call that it stands in for.
#pragma once

#include "Filesystem/ioPath.h"

#include <cstdint>
#include <functional>
#include <system_error>

namespace Tarnix::Core::internal {

// Told after each entry is gone: the size of a regular file, 0 for anything
// else.
using RemovedEntry = std::function<void(unsigned long long bytes)>;

// Removes `path` with everything below it, as boost::filesystem::remove_all
// does: a symbolic link (`path` itself included) is removed, never followed;
// each directory goes after its entries. Returns the number of entries
// removed. Stops at the first failure with `*error` set; what was removed
// stays removed. Entries that vanish meanwhile are passed over, and a missing
// `path` removes nothing without an error.
std::uintmax_t RemoveTreeReporting(const ioPath& path, const RemovedEntry& removed, std::error_code* error);

}  // namespace Tarnix::Core::internal
