// What a test needs to know about the system it runs on.
#pragma once

#include <gtest/gtest.h>

namespace Tarnix::Test {

// Whether the tests run under Wine rather than on Windows itself (false on
// Linux). Wine lacks a few Windows features; only the tests that need one
// skip there, naming it, and still run on Windows.
bool UnderWine();

}  // namespace Tarnix::Test

// Skips the current test under Wine, naming the Windows feature Wine lacks.
#define LUM_SKIP_UNDER_WINE(feature)                                                   \
  do {                                                                                 \
    if (::Tarnix::Test::UnderWine()) GTEST_SKIP() << "Wine 8 does not do this: " << (feature); \
  } while (false)
