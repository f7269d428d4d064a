// Windows CNG (bcrypt) implementation of Sha1: only for the Windows build.
#include "agent/vaultfileopt/Sha1.h"

#include <windows.h>
#include <bcrypt.h>

namespace vaultfileopt {

namespace {
// Owns the algorithm and hash handles on every path.
struct CngHandles {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~CngHandles() {
    if (hash) BCryptDestroyHash(hash);
    if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};
bool Ok(NTSTATUS status) { return status >= 0; }
}  // namespace

bool Sha1(const std::string& input, uint8_t digest[20]) {
  CngHandles cng;
  if (!Ok(BCryptOpenAlgorithmProvider(&cng.algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0))) return false;
  if (!Ok(BCryptCreateHash(cng.algorithm, &cng.hash, nullptr, 0, nullptr, 0, 0))) return false;
  // BCryptHashData takes a 32-bit length: feed large inputs in pieces.
  const size_t kPiece = 1u << 30;
  for (size_t offset = 0; offset < input.size(); offset += kPiece) {
    size_t length = input.size() - offset < kPiece ? input.size() - offset : kPiece;
    PUCHAR data = reinterpret_cast<PUCHAR>(const_cast<char*>(input.data() + offset));
    if (!Ok(BCryptHashData(cng.hash, data, static_cast<ULONG>(length), 0))) return false;
  }
  return Ok(BCryptFinishHash(cng.hash, digest, 20, 0));
}

}  // namespace vaultfileopt
