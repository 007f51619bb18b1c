#include "crypto/auth.h"

#include <cstring>

#include "base/environment.h"

#ifdef WEX_HAVE_SODIUM
#include <sodium.h>
#endif

namespace wex::auth {
namespace {

bool secret_set = false;

}  // namespace

#ifdef WEX_HAVE_SODIUM

namespace {

unsigned char key[32];

void put_u64(unsigned char *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (56 - 8 * i));
}

}  // namespace

bool available() { return sodium_init() >= 0; }

bool load(const char *given, std::string *error) {
  const char *secret = given && *given ? given : env_text("WEX_SECRET");
  secret_set = secret != nullptr;
  if (!secret_set) return true;
  if (!available()) {
    *error = "cannot start libsodium for the secret";
    return false;
  }
  // The key is the secret's hash under a name of this use: the secret
  // itself never goes into a MAC.
  static const unsigned char context[] = "wex bus secret v1";
  crypto_generichash(key, sizeof key, reinterpret_cast<const unsigned char *>(secret),
                     strlen(secret), context, sizeof context - 1);
  return true;
}

void fresh_nonce(unsigned char nonce[kNonceSize]) { randombytes_buf(nonce, kNonceSize); }

void proof(unsigned char tag[kTagSize], bool from_connector,
           const unsigned char acceptor_nonce[kNonceSize],
           const unsigned char connector_nonce[kNonceSize], uint64_t connector_id,
           uint64_t acceptor_id) {
  unsigned char input[12 + 1 + 2 * kNonceSize + 16];
  memcpy(input, "wex proof v1", 12);
  input[12] = from_connector ? 'c' : 'a';
  memcpy(input + 13, acceptor_nonce, kNonceSize);
  memcpy(input + 13 + kNonceSize, connector_nonce, kNonceSize);
  put_u64(input + 13 + 2 * kNonceSize, connector_id);
  put_u64(input + 21 + 2 * kNonceSize, acceptor_id);
  crypto_auth_hmacsha256(tag, input, sizeof input, key);
}

bool same_tag(const unsigned char *a, const unsigned char *b) {
  return crypto_verify_32(a, b) == 0;
}

void announce_tag(unsigned char tag[kAnnounceTagSize], const unsigned char *datagram, size_t size) {
  unsigned char full[crypto_auth_hmacsha256_BYTES];
  crypto_auth_hmacsha256(full, datagram, size, key);
  memcpy(tag, full, kAnnounceTagSize);
}

bool announce_tag_valid(const unsigned char *tag, const unsigned char *datagram, size_t size) {
  unsigned char want[kAnnounceTagSize];
  announce_tag(want, datagram, size);
  return crypto_verify_16(want, tag) == 0;
}

#else  // no crypto: no secret

bool available() { return false; }

bool load(const char *given, std::string *error) {
  const char *secret = given && *given ? given : env_text("WEX_SECRET");
  secret_set = false;
  if (!secret) return true;
  *error = "a secret was given, but this library was built without libsodium";
  return false;
}

void fresh_nonce(unsigned char nonce[kNonceSize]) { memset(nonce, 0, kNonceSize); }
void proof(unsigned char tag[kTagSize], bool, const unsigned char *, const unsigned char *,
           uint64_t, uint64_t) {
  memset(tag, 0, kTagSize);
}
bool same_tag(const unsigned char *, const unsigned char *) { return false; }
void announce_tag(unsigned char tag[kAnnounceTagSize], const unsigned char *, size_t) {
  memset(tag, 0, kAnnounceTagSize);
}
bool announce_tag_valid(const unsigned char *, const unsigned char *, size_t) { return false; }

#endif

bool enabled() { return secret_set; }

}  // namespace wex::auth
