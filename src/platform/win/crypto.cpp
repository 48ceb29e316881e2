// Cryptography Next Generation (bcrypt.dll), on Windows 7 and later: the
// system-preferred random generator, and SHA-256 with the hash object
// allocated by the system (which Windows 7 allows).
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <climits>

#include "platform/platform.h"

namespace vtl::platform {

bool RandomBytes(unsigned char* out, size_t size) noexcept {
  while (size > 0) {
    const ULONG n = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    out += n;
    size -= n;
  }
  return true;
}

void Sha256(std::string_view data, unsigned char (&digest)[32]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done =
      BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  done = done && BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes a ULONG count, so a larger text goes in pieces.
  auto* at = reinterpret_cast<PUCHAR>(const_cast<char*>(data.data()));
  for (size_t left = data.size(); done && left > 0;) {
    const ULONG n = left > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(left);
    done = BCRYPT_SUCCESS(BCryptHashData(hash, at, n, 0));
    at += n;
    left -= n;
  }
  done = done && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
  if (hash) BCryptDestroyHash(hash);
  if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
  // Never seen; a digest of zeros then fails the exchange that uses it
  // (the provider finds the verifier does not match) rather than pass.
  if (!done) Wipe(digest, sizeof digest);
}

}  // namespace vtl::platform
