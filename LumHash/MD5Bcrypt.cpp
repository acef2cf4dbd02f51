// MD5 through Windows CNG (BCrypt): the Windows build, which has no OpenSSL.
#include "LumHash/MD5.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace Tarnix::Core {

namespace {

struct AlgorithmCloser {
  void operator()(BCRYPT_ALG_HANDLE algorithm) const noexcept {
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};
struct HashDestroyer {
  void operator()(BCRYPT_HASH_HANDLE hash) const noexcept { BCryptDestroyHash(hash); }
};
using Algorithm = std::unique_ptr<void, AlgorithmCloser>;
using Hash = std::unique_ptr<void, HashDestroyer>;

// The one place a failed BCrypt call becomes an exception.
void Check(NTSTATUS status, const char* call) {
  if (BCRYPT_SUCCESS(status)) return;
  char message[128];
  std::snprintf(message, sizeof message, "MD5 digest failed: %s returned 0x%08lX", call,
                static_cast<unsigned long>(status));
  throw std::runtime_error(message);
}

}  // namespace

MD5::MD5(const std::string& data) {
  // Each handle is owned before its call's status is looked at.
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  const NTSTATUS opened = BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0);
  const Algorithm algorithm(rawAlgorithm);
  Check(opened, "BCryptOpenAlgorithmProvider");

  BCRYPT_HASH_HANDLE rawHash = nullptr;
  const NTSTATUS created = BCryptCreateHash(algorithm.get(), &rawHash, nullptr, 0, nullptr, 0, 0);
  const Hash hash(rawHash);
  Check(created, "BCryptCreateHash");

  // BCryptHashData takes at most a ULONG of bytes per call.
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(left, 1UL << 30));
    Check(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(next)), chunk, 0),
          "BCryptHashData");
    next += chunk;
    left -= chunk;
  }
  Check(BCryptFinishHash(hash.get(), digest_.data(), static_cast<ULONG>(digest_.size()), 0),
        "BCryptFinishHash");
}

}  // namespace Tarnix::Core
