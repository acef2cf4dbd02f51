#include "Filesystem/internal/ReparseRecord.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Tarnix::Core::internal {
namespace {

std::vector<std::uint8_t> LittleEndian(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

std::vector<std::uint8_t> Slice(const ReparseBuffer& buffer, std::size_t offset, std::size_t size) {
  return {buffer.begin() + offset, buffer.begin() + offset + size};
}

TEST(ReparseRecord, MountPointRecordIsByteExact) {
  const std::u16string target = u"\\??\\C:\\Data\\Target";  // n = 18
  ASSERT_EQ(target.size(), 18u);
  ReparseBuffer buffer;
  buffer.fill(0xEE);  // whatever was there before is zeroed
  EXPECT_EQ(BuildMountPointRecord(target, buffer), 92u);  // 4n + 20

  const std::vector<std::uint8_t> header = {
      0x03, 0x00, 0x00, 0xA0,  // ReparseTag 0xA0000003
      0x54, 0x00,              // ReparseDataLength 4n + 12 = 84
      0x00, 0x00,              // Reserved
      0x00, 0x00,              // SubstituteNameOffset 0
      0x24, 0x00,              // SubstituteNameLength 2n = 36
      0x26, 0x00,              // PrintNameOffset 2n + 2 = 38
      0x24, 0x00,              // PrintNameLength 2n = 36
  };
  EXPECT_EQ(Slice(buffer, 0, 16), header);
  EXPECT_EQ(Slice(buffer, 16, 36), LittleEndian(target));  // substitute name, prefix included
  EXPECT_EQ(Slice(buffer, 52, 2), (std::vector<std::uint8_t>{0, 0}));
  EXPECT_EQ(Slice(buffer, 54, 36), LittleEndian(target));  // print name equals it
  EXPECT_EQ(Slice(buffer, 90, 2), (std::vector<std::uint8_t>{0, 0}));
  EXPECT_EQ(Slice(buffer, 92, buffer.size() - 92), std::vector<std::uint8_t>(buffer.size() - 92, 0));

  EXPECT_EQ(ReparseTag(buffer), kMountPointReparseTag);
  EXPECT_EQ(SubstituteName(buffer), target);
  EXPECT_EQ(StripNtObjectPrefix(SubstituteName(buffer)), u"C:\\Data\\Target");
}

TEST(ReparseRecord, PrefixedTargetOf259CharactersIsTheLimit) {
  ReparseBuffer buffer{};
  const std::u16string longest = std::u16string(kNtObjectPrefix) + std::u16string(255, u'a');
  EXPECT_EQ(BuildMountPointRecord(longest, buffer), 1056u);
  EXPECT_EQ(SubstituteName(buffer), longest);

  ReparseBuffer untouched;
  untouched.fill(0xEE);
  EXPECT_EQ(BuildMountPointRecord(longest + u'a', untouched), 0u);
  EXPECT_EQ(untouched[0], 0xEE);
}

TEST(ReparseRecord, SubstituteNameFollowsItsOffsetUpToTheFirstNul) {
  // A record written by someone else: the name sits after another one, and
  // its stated length is wrong; only the offset and the NUL count.
  ReparseBuffer buffer{};
  const auto put = [&](std::size_t offset, const std::u16string& text) {
    const auto bytes = LittleEndian(text);
    std::copy(bytes.begin(), bytes.end(), buffer.begin() + offset);
  };
  put(0, u"\x0003\xA000");
  buffer[8] = 8;    // SubstituteNameOffset
  buffer[10] = 2;   // SubstituteNameLength, deliberately short
  put(16, u"x:\\");
  put(24, u"D:\\Elsewhere");
  EXPECT_EQ(SubstituteName(buffer), u"D:\\Elsewhere");
}

TEST(ReparseRecord, NamesWithoutThePrefixStayUnchanged) {
  for (const std::u16string name : {u"C:\\Data", u"\\\\?\\C:\\Data", u"\\??", u"", u"C:\\??\\x"}) {
    EXPECT_EQ(StripNtObjectPrefix(name), name);
  }
  EXPECT_EQ(StripNtObjectPrefix(u"\\??\\"), u"");
}

}  // namespace
}  // namespace Tarnix::Core::internal
