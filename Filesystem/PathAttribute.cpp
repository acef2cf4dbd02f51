// The library's attribute bits, their Windows counterparts, and setting them.
#include "Filesystem/internal/PathAttribute.h"

#include <array>
#include <utility>

namespace Tarnix::Core::internal {

namespace {

// Scanned in this order; the library's bits are consecutive, the Windows ones are not.
constexpr std::array<std::pair<PathAttribute, std::uint32_t>, 7> kAttributeTable{{
    {PathAttribute::ReadOnly, kFileAttributeReadOnly},
    {PathAttribute::Hidden, kFileAttributeHidden},
    {PathAttribute::System, kFileAttributeSystem},
    {PathAttribute::Archive, kFileAttributeArchive},
    {PathAttribute::Temporary, kFileAttributeTemporary},
    {PathAttribute::Offline, kFileAttributeOffline},
    {PathAttribute::NotContentIndexed, kFileAttributeNotContentIndexed},
}};

}  // namespace

std::uint32_t ToWindowsAttributes(PathAttribute attributes) noexcept {
  if (attributes == PathAttribute::Normal) return kFileAttributeNormal;
  std::uint32_t windows = 0;
  for (const auto& [bit, windowsBit] : kAttributeTable) {
    if ((attributes & bit) != PathAttribute::Normal) windows |= windowsBit;
  }
  return windows;
}

}  // namespace Tarnix::Core::internal

namespace Tarnix::Core {

bool SetPathAttribute(const ioPath& path, PathAttribute attributes) {
  return !internal::ApplyWindowsAttributes(path, internal::ToWindowsAttributes(attributes));
}

}  // namespace Tarnix::Core
