#include <errno.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include "platform/platform.h"

namespace vtl::platform {

bool RandomBytes(unsigned char* out, size_t size) noexcept {
  // getrandom(2) blocks only until the kernel's pool is first seeded, and
  // reads of up to 256 bytes are never short once it is; the loop is for
  // larger reads and signals.
  while (size > 0) {
    const ssize_t n = getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void Sha256(std::string_view data, unsigned char (&digest)[32]) {
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != 32) {
    // Never seen; a digest of zeros then fails the exchange that uses it
    // (the provider finds the verifier does not match) rather than pass.
    Wipe(digest, sizeof digest);
  }
}

}  // namespace vtl::platform
