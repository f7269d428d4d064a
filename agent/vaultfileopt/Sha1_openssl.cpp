// OpenSSL (libcrypto) implementation of Sha1: only for builds that are not Windows.
#include "agent/vaultfileopt/Sha1.h"

#include <openssl/evp.h>

namespace vaultfileopt {

bool Sha1(const std::string& input, uint8_t digest[20]) {
  unsigned int length = 0;
  return EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr) == 1 && length == 20;
}

}  // namespace vaultfileopt
