#include "LumString/LumString.h"

#include <utf8.h>

#include <iterator>

namespace Tarnix::Core {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

std::wstring WstringFromUtf8(const std::string& utf8) {
  std::string valid;
  const std::string* text = &utf8;
  if (!utf8::is_valid(utf8.begin(), utf8.end())) {
    valid.reserve(utf8.size());
    utf8::replace_invalid(utf8.begin(), utf8.end(), std::back_inserter(valid), kReplacement);
    text = &valid;
  }
  std::wstring wide;
  wide.reserve(text->size());
  if constexpr (sizeof(wchar_t) == 2) {
    utf8::utf8to16(text->begin(), text->end(), std::back_inserter(wide));
  } else {
    utf8::utf8to32(text->begin(), text->end(), std::back_inserter(wide));
  }
  return wide;
}

std::string Utf8FromWstring(const std::wstring& wide) {
  std::string utf8;
  utf8.reserve(wide.size());
  auto out = std::back_inserter(utf8);
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char32_t>(wide[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      c &= 0xFFFF;
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) {
        const char32_t low = static_cast<char32_t>(wide[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    if (IsSurrogate(c) || c > 0x10FFFF) c = kReplacement;
    out = utf8::append(c, out);
  }
  return utf8;
}

}  // namespace Tarnix::Core
