// The MD5 stand-in against the RFC 1321 test suite, on whichever digest
// provider the platform builds with.
#include "LumHash/MD5.h"

#include <gtest/gtest.h>

#include <string>

namespace Tarnix::Core {
namespace {

TEST(MD5, MatchesTheRfc1321TestSuiteInLowerCaseHex) {
  const struct {
    std::string data;
    const char* digest;
  } rows[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string("a\0b", 3), "70350f6027bce3713f6b76473084309b"},  // a NUL is data
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.data));
    EXPECT_EQ(MD5(row.data).hexdigest(), row.digest);
  }
}

}  // namespace
}  // namespace Tarnix::Core
