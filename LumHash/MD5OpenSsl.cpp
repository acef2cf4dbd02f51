// MD5 through OpenSSL's EVP interface: the Linux build.
#include "LumHash/MD5.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace Tarnix::Core {

MD5::MD5(const std::string& data) {
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest_.data(), &size, EVP_md5(), nullptr) != 1 ||
      size != digest_.size()) {
    throw std::runtime_error("MD5 digest failed");
  }
}

}  // namespace Tarnix::Core
