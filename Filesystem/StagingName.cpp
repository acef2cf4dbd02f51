#include "Filesystem/internal/StagingName.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>

namespace Tarnix::Core::internal {

namespace {

std::string Hex(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = kDigits[value & 0xf];
  return text;
}

// FNV-1a: stable across processes, builds and platforms, unlike std::hash.
std::uint64_t Fingerprint(std::string_view text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

}  // namespace

bool IsStagingName(std::string_view name) noexcept {
  return name.substr(0, sizeof(kStagingPrefix) - 1) == kStagingPrefix;
}

std::string DerivedStagingName(std::string_view targetName) {
  return kStagingPrefix + Hex(Fingerprint(targetName), 16);
}

std::string UniqueStagingName(std::string_view targetName) {
  // Seeded once per thread from the system's entropy; the exclusive creation
  // of the name settles the rare clash.
  thread_local std::mt19937_64 random{(static_cast<std::uint64_t>(std::random_device{}()) << 32) ^
                                      std::random_device{}()};
  return DerivedStagingName(targetName) + "-" + Hex(random(), 10);
}

}  // namespace Tarnix::Core::internal
