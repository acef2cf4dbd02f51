// MD5 digest of the application family. Used for cache keys, not for security.
// The digest comes from OpenSSL on Linux and from Windows CNG (BCrypt) on Windows.
#pragma once

#include "LumHash/Export.h"

#include <array>
#include <string>

namespace Tarnix::Core {

// The digest of one string.
class LUMHASH_EXPORT MD5 {
 public:
  // Digests all of `data` (any bytes, NULs included). Throws
  // std::runtime_error when the platform's digest provider fails.
  explicit MD5(const std::string& data);

  // The 32 lower-case hexadecimal digits of the digest.
  std::string hexdigest() const;

 private:
  std::array<unsigned char, 16> digest_{};
};

}  // namespace Tarnix::Core
