// What a test needs to know about the system it runs on.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace Tarnix::Test {

// Whether the tests run under Wine rather than on Windows itself (false on
// Linux). Wine lacks a few Windows features; only the tests that need one
// skip there, naming it, and still run on Windows.
bool UnderWine();

// How many files, sockets and other kernel objects this process has open:
// its descriptors on Linux, its handles on Windows.
std::size_t OpenHandleCount();

// The platform, and the environment variable that names the system's
// temporary directory.
#ifdef _WIN32
inline constexpr bool kWindows = true;
inline constexpr char kTemporaryDirectoryVariable[] = "TMP";
#else
inline constexpr bool kWindows = false;
inline constexpr char kTemporaryDirectoryVariable[] = "TMPDIR";
#endif

// The value of environment variable `name` (UTF-8), empty when unset; setting
// it empty unsets it.
std::string GetEnvironment(const std::string& name);
void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace Tarnix::Test

// Skips the current test under Wine, naming the Windows feature Wine lacks.
#define LUM_SKIP_UNDER_WINE(feature)                                                   \
  do {                                                                                 \
    if (::Tarnix::Test::UnderWine()) GTEST_SKIP() << "Wine 8 does not do this: " << (feature); \
  } while (false)
