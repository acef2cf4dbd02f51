#include "LumHash/MD5.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace Tarnix::Core {

MD5::MD5(const std::string& data) {
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest_.data(), &size, EVP_md5(), nullptr) != 1 ||
      size != digest_.size()) {
    throw std::runtime_error("MD5 digest failed");
  }
}

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
