// SHA-1 of a byte string, from the platform's cryptography library.
#pragma once
#include <cstdint>
#include <string>

namespace vaultfileopt {
// The 20 digest bytes in `digest`; false when the library fails.
bool Sha1(const std::string& input, uint8_t digest[20]);
}  // namespace vaultfileopt
