// MD5 digest of the application family. Used for cache keys, not for security.
#pragma once

#include "LumHash/Export.h"

#include <array>
#include <string>

namespace Tarnix::Core {

class LUMHASH_EXPORT MD5 {
 public:
  explicit MD5(const std::string& data);

  // The 32 lower-case hexadecimal digits of the digest.
  std::string hexdigest() const;

 private:
  std::array<unsigned char, 16> digest_{};
};

}  // namespace Tarnix::Core
