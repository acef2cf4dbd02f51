#include "Filesystem/internal/ReparseRecord.h"

#include <algorithm>

namespace Tarnix::Core::internal {

namespace {

constexpr std::size_t kPathAreaOffset = 16;

void Put16(ReparseBuffer& buffer, std::size_t offset, std::uint16_t value) noexcept {
  buffer[offset] = static_cast<std::uint8_t>(value & 0xFF);
  buffer[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(ReparseBuffer& buffer, std::size_t offset, std::uint32_t value) noexcept {
  Put16(buffer, offset, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(buffer, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint16_t Get16(const ReparseBuffer& buffer, std::size_t offset) noexcept {
  return static_cast<std::uint16_t>(buffer[offset] | (buffer[offset + 1] << 8));
}

// Writes `name` and its NUL terminator at `offset`.
void PutName(ReparseBuffer& buffer, std::size_t offset, const std::u16string& name) noexcept {
  for (char16_t c : name) {
    Put16(buffer, offset, static_cast<std::uint16_t>(c));
    offset += 2;
  }
  Put16(buffer, offset, 0);
}

}  // namespace

std::size_t BuildMountPointRecord(const std::u16string& prefixedTarget, ReparseBuffer& buffer) noexcept {
  const std::size_t n = prefixedTarget.size();
  if (n > kMaxPrefixedTargetLength) return 0;
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
  const auto nameBytes = static_cast<std::uint16_t>(2 * n);
  Put32(buffer, 0, kMountPointReparseTag);
  Put16(buffer, 4, static_cast<std::uint16_t>(4 * n + 12));  // ReparseDataLength
  Put16(buffer, 6, 0);                                         // Reserved
  Put16(buffer, 8, 0);                                         // SubstituteNameOffset
  Put16(buffer, 10, nameBytes);                                // SubstituteNameLength
  Put16(buffer, 12, static_cast<std::uint16_t>(nameBytes + 2));  // PrintNameOffset
  Put16(buffer, 14, nameBytes);                                // PrintNameLength
  PutName(buffer, kPathAreaOffset, prefixedTarget);
  PutName(buffer, kPathAreaOffset + nameBytes + 2, prefixedTarget);
  return 4 * n + 20;
}

std::uint32_t ReparseTag(const ReparseBuffer& buffer) noexcept {
  return static_cast<std::uint32_t>(Get16(buffer, 0)) | (static_cast<std::uint32_t>(Get16(buffer, 2)) << 16);
}

std::u16string SubstituteName(const ReparseBuffer& buffer) {
  std::u16string name;
  for (std::size_t offset = kPathAreaOffset + Get16(buffer, 8); offset + 1 < buffer.size(); offset += 2) {
    const auto c = static_cast<char16_t>(Get16(buffer, offset));
    if (c == 0) break;
    name.push_back(c);
  }
  return name;
}

std::u16string StripNtObjectPrefix(std::u16string name) {
  if (name.compare(0, kNtObjectPrefixLength, kNtObjectPrefix) == 0) name.erase(0, kNtObjectPrefixLength);
  return name;
}

}  // namespace Tarnix::Core::internal
