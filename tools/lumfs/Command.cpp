#include "Command.h"

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>

namespace lumfs {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

}  // namespace

void Fail(const Tarnix::ioPath& path, const std::string& reason) { throw CommandError(Show(path) + ": " + reason); }

std::string Show(const Tarnix::ioPath& path) { return path.utf8string(); }

void RequireExisting(const Tarnix::ioPath& path) {
  if (!Tarnix::Core::FileExists(path)) Fail(path, std::strerror(ENOENT));
}

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 6) {
    bytes /= 1024;
    ++unit;
  }
  std::ostringstream out;
  out << std::fixed << std::setprecision(unit == 0 ? 0 : 1) << bytes << ' ' << kUnits[unit];
  return out.str();
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }  // ASCII only, whatever the locale

[[noreturn]] void Invalid(const std::string& what, const std::string& text, const std::string& expected) {
  throw CLI::ValidationError(what, "'" + text + "' is not " + expected);
}

// Reads the digits at `text[*at]...` into `*value`; false when the value would
// exceed `max`.
[[nodiscard]] bool ReadDigits(const std::string& text, std::size_t* at, unsigned long long max,
                              unsigned long long* value) {
  *value = 0;
  for (; *at < text.size() && IsDigit(text[*at]); ++*at) {
    const unsigned digit = static_cast<unsigned>(text[*at] - '0');
    if (*value > (max - digit) / 10) return false;
    *value = *value * 10 + digit;
  }
  return true;
}

}  // namespace

unsigned long long ParseWholeNumber(const std::string& text, unsigned long long min, unsigned long long max,
                                    const std::string& what) {
  const std::string expected = "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
  std::size_t at = 0;
  unsigned long long value = 0;
  const bool fits = ReadDigits(text, &at, std::numeric_limits<unsigned long long>::max(), &value);
  if (at == 0 || at != text.size()) Invalid(what, text, expected);
  if (!fits || value < min || value > max) Invalid(what, text, expected);
  return value;
}

unsigned long long ParseSize(const std::string& text, const std::string& what) {
  constexpr unsigned long long kMax = std::numeric_limits<unsigned long long>::max();
  const std::string expected = "a size: bytes, or a number with K, M or G, at most 16 EiB - 1 byte";
  std::size_t at = 0;
  unsigned long long whole = 0;
  const bool fits = ReadDigits(text, &at, kMax, &whole);
  if (at == 0) Invalid(what, text, expected);
  std::string fraction;
  if (at < text.size() && text[at] == '.') {
    for (++at; at < text.size() && IsDigit(text[at]); ++at) fraction += text[at];
    if (fraction.empty()) Invalid(what, text, expected);
  }
  unsigned long long scale = 1;
  if (at < text.size()) {
    switch (text[at++]) {
      case 'K': case 'k': scale = 1ull << 10; break;
      case 'M': case 'm': scale = 1ull << 20; break;
      case 'G': case 'g': scale = 1ull << 30; break;
      default: Invalid(what, text, expected);
    }
  }
  // A fraction of a byte is a mistake, not a size.
  if (at != text.size() || (!fraction.empty() && scale == 1)) Invalid(what, text, expected);
  if (!fits || whole > kMax / scale) Invalid(what, text, expected);
  // The bytes of the fraction, floor(0.d1d2...dn * scale), exactly: Horner's
  // rule from the last digit, each step rounded down (the floors nest).
  unsigned long long part = 0;
  for (auto digit = fraction.rbegin(); digit != fraction.rend(); ++digit) {
    part = (static_cast<unsigned long long>(*digit - '0') * scale + part) / 10;
  }
  if (whole * scale > kMax - part) Invalid(what, text, expected);
  return whole * scale + part;
}

}  // namespace lumfs
