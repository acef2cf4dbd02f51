// UTF-8 <-> wide-string conversion of the application family.
//
// The wide form is UTF-16 where wchar_t has 16 bits (Windows) and UTF-32 where
// it has 32 bits (Linux). Invalid input never throws: each malformed sequence
// or unpaired surrogate becomes U+FFFD. Valid input round-trips unchanged.
#pragma once

#include "LumString/Export.h"

#include <string>

namespace Tarnix::Core {

// Converts between UTF-8 and the wide form, as described above.
LUMSTRING_EXPORT std::wstring WstringFromUtf8(const std::string& utf8);
LUMSTRING_EXPORT std::string Utf8FromWstring(const std::wstring& wide);

}  // namespace Tarnix::Core
