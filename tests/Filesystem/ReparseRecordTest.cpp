#include "Filesystem/internal/ReparseRecord.h"

#include <gtest/gtest.h>

#include <vector>

namespace Tarnix::Core::internal {
namespace {

TEST(ReparseRecord, MountPointRecordIsByteExact) {
  const std::u16string target = u"\\??\\C:\\D";  // n = 8
  ReparseBuffer buffer;
  buffer.fill(0xEE);  // stale bytes must not survive
  ASSERT_EQ(BuildMountPointRecord(target, buffer), 52u);  // 4n + 20
  std::vector<std::uint8_t> expected = {0x03, 0x00, 0x00, 0xA0,  // ReparseTag
                                        44, 0, 0, 0,             // ReparseDataLength 4n + 12, Reserved
                                        0, 0, 16, 0,             // substitute name: offset 0, 2n bytes
                                        18, 0, 16, 0};           // print name: offset 2n + 2, 2n bytes
  for (int name = 0; name < 2; ++name) {  // substitute, then print name: T and a NUL each
    for (char16_t c : target) expected.insert(expected.end(), {static_cast<std::uint8_t>(c), 0});
    expected.insert(expected.end(), {0, 0});
  }
  expected.resize(buffer.size(), 0);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), expected.begin()));
  EXPECT_EQ(ReparseTag(buffer), kMountPointReparseTag);
  EXPECT_EQ(StripNtObjectPrefix(SubstituteName(buffer)), u"C:\\D");
}

TEST(ReparseRecord, PrefixedTargetsUpTo259AndNamesWithoutThePrefix) {
  ReparseBuffer buffer{};
  const std::u16string longest = kNtObjectPrefix + std::u16string(255, u'a');
  EXPECT_EQ(BuildMountPointRecord(longest, buffer), 1056u);
  EXPECT_EQ(BuildMountPointRecord(longest + u'a', buffer), 0u);
  EXPECT_EQ(SubstituteName(buffer), longest);  // the refused record wrote nothing

  ASSERT_NE(BuildMountPointRecord(u"C:\\??\\x", buffer), 0u);
  EXPECT_EQ(StripNtObjectPrefix(SubstituteName(buffer)), u"C:\\??\\x");
  EXPECT_EQ(StripNtObjectPrefix(u"\\??"), u"\\??");
}

}  // namespace
}  // namespace Tarnix::Core::internal
