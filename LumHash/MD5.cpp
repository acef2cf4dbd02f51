// The platform-neutral part of MD5; the digest itself is computed by
// MD5OpenSsl.cpp (Linux) or MD5Bcrypt.cpp (Windows).
#include "LumHash/MD5.h"

namespace Tarnix::Core {

std::string MD5::hexdigest() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(digest_.size() * 2, '0');
  for (std::size_t i = 0; i < digest_.size(); ++i) {
    hex[2 * i] = kDigits[digest_[i] >> 4];
    hex[2 * i + 1] = kDigits[digest_[i] & 0xF];
  }
  return hex;
}

}  // namespace Tarnix::Core
