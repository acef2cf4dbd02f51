// Names of staging files: a copy or a put writes its file out of sight under
// such a name in the target's own directory and renames it over the target
// when complete. One rule on every platform:
//
//  - a staging name starts with kStagingPrefix, so cache listings pass over
//    it and clean-ups recognise it;
//  - it is derived from the target's file name (fixed length, whatever the
//    target's), so the next staging for the same target takes over what a
//    killed process left there instead of letting such files pile up;
//  - when that name is in use by a live staging (its owner holds it), a name
//    of its own with a random suffix is taken instead.
#pragma once

#include <string>
#include <string_view>

namespace Tarnix::Core::internal {

inline constexpr char kStagingPrefix[] = ".lumfs-stage-";

// Whether the directory entry `name` is a staging file.
bool IsStagingName(std::string_view name) noexcept;

// kStagingPrefix and 16 hexadecimal digits of a stable fingerprint of
// `targetName` (the target's file name, UTF-8): the same in every process.
std::string DerivedStagingName(std::string_view targetName);

// DerivedStagingName(targetName), "-" and 10 random hexadecimal digits.
std::string UniqueStagingName(std::string_view targetName);

}  // namespace Tarnix::Core::internal
