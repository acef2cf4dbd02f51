// The UTF-8/wide conversions of the LumString stand-in.
#include "LumString/LumString.h"

#include <gtest/gtest.h>

namespace Tarnix::Core {
namespace {

TEST(LumString, ValidTextRoundTrips) {
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a é € 😀
  const std::wstring wide = WstringFromUtf8(utf8);
  EXPECT_EQ(wide, L"a\u00E9\u20AC\U0001F600");
  EXPECT_EQ(Utf8FromWstring(wide), utf8);
  EXPECT_EQ(WstringFromUtf8(""), L"");
}

TEST(LumString, InvalidInputIsReplacedNeverThrown) {
  EXPECT_EQ(WstringFromUtf8("a\xFF" "b"), L"a\uFFFDb");
  EXPECT_EQ(WstringFromUtf8("\xE2\x82"), L"\uFFFD") << "truncated sequence";
  std::wstring loneSurrogate = L"x";
  loneSurrogate.push_back(static_cast<wchar_t>(0xD800));
  EXPECT_EQ(Utf8FromWstring(loneSurrogate), "x\xEF\xBF\xBD");
}

}  // namespace
}  // namespace Tarnix::Core
