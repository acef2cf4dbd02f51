// The mount-point reparse record: the on-disk form of a junction on NTFS.
//
// Portable code so that the byte layout is checked on every platform; the
// Windows backend hands these buffers to FSCTL_SET_REPARSE_POINT and reads
// them back from FSCTL_GET_REPARSE_POINT. All integers are little-endian.
// Layout of a record for a target T of n UTF-16 characters (prefix included):
//
//   offset      size      field
//   0           4         ReparseTag            0xA0000003
//   4           2         ReparseDataLength     4n + 12
//   6           2         Reserved              0
//   8           2         SubstituteNameOffset  0        (from byte 16)
//   10          2         SubstituteNameLength  2n       (bytes, NUL not counted)
//   12          2         PrintNameOffset       2n + 2   (from byte 16)
//   14          2         PrintNameLength       2n
//   16          2n + 2    substitute name       T, NUL
//   18 + 2n     2n + 2    print name            T, NUL
//
// The platform is handed ReparseDataLength + 8 = 4n + 20 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Tarnix::Core::internal {

inline constexpr std::uint32_t kMountPointReparseTag = 0xA0000003;
// The platform's maximum reparse-data size; a record buffer always has it.
inline constexpr std::size_t kReparseBufferSize = 16384;
// The NT object-name prefix a junction's target carries on disk.
inline constexpr char16_t kNtObjectPrefix[] = u"\\??\\";
inline constexpr std::size_t kNtObjectPrefixLength = 4;
// The longest prefixed target a junction may have (MAX_PATH - 1), so the
// target itself may have 255 characters.
inline constexpr std::size_t kMaxPrefixedTargetLength = 259;

// Zero-initialised when value-initialised (ReparseBuffer buffer{}).
using ReparseBuffer = std::array<std::uint8_t, kReparseBufferSize>;

// Writes the mount-point record for `prefixedTarget` (which already carries
// kNtObjectPrefix) into `buffer`, zeroing the rest of it. Returns the number
// of bytes to hand to the platform (4n + 20), or 0, leaving the buffer
// untouched, when the target is longer than kMaxPrefixedTargetLength.
[[nodiscard]] std::size_t BuildMountPointRecord(const std::u16string& prefixedTarget, ReparseBuffer& buffer) noexcept;

// The ReparseTag of a record.
std::uint32_t ReparseTag(const ReparseBuffer& buffer) noexcept;

// The substitute name: the UTF-16 characters from SubstituteNameOffset bytes
// into the path area up to the first NUL (or the end of the buffer);
// SubstituteNameLength is not consulted. Rely on a zero-filled buffer.
std::u16string SubstituteName(const ReparseBuffer& buffer);

// `name` without a leading kNtObjectPrefix; unchanged when it has none.
std::u16string StripNtObjectPrefix(std::u16string name);

}  // namespace Tarnix::Core::internal
