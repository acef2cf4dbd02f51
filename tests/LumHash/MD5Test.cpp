// The MD5 stand-in against vectors of the RFC 1321 test suite, on whichever
// digest provider the platform builds with.
#include "LumHash/MD5.h"

#include <gtest/gtest.h>

#include <string>

namespace Tarnix::Core {
namespace {

TEST(MD5, MatchesTheRfc1321TestSuiteInLowerCaseHex) {
  const std::pair<std::string, const char*> rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",  // two blocks
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},  // a NUL is data
  };
  for (const auto& [data, digest] : rows) EXPECT_EQ(MD5(data).hexdigest(), digest) << testing::PrintToString(data);
}

}  // namespace
}  // namespace Tarnix::Core
