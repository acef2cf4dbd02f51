// Translation of PathAttribute into the platform's attribute set, and the one
// platform call that applies such a set.
#pragma once

#include "Filesystem/PathAttribute.h"

#include <cstdint>
#include <system_error>

namespace Tarnix::Core::internal {

// The Windows FILE_ATTRIBUTE_* values PathAttribute translates to. They are
// spelled out here so that the translation is portable and testable anywhere.
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kFileAttributeHidden = 0x2;
inline constexpr std::uint32_t kFileAttributeSystem = 0x4;
inline constexpr std::uint32_t kFileAttributeArchive = 0x20;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;
inline constexpr std::uint32_t kFileAttributeTemporary = 0x100;
inline constexpr std::uint32_t kFileAttributeOffline = 0x1000;
inline constexpr std::uint32_t kFileAttributeNotContentIndexed = 0x2000;

// The Windows attribute set for `attributes`: FILE_ATTRIBUTE_NORMAL for
// Normal (0); otherwise the OR of the Windows value of every library bit that
// is set. Bits above NotContentIndexed are ignored, so a non-zero value with
// none of the known bits yields 0.
std::uint32_t ToWindowsAttributes(PathAttribute attributes) noexcept;

// Gives `path` the attribute set `windowsAttributes` as far as the platform
// has an equivalent (see SetPathAttribute).
[[nodiscard]] std::error_code ApplyWindowsAttributes(const ioPath& path, std::uint32_t windowsAttributes);

}  // namespace Tarnix::Core::internal
