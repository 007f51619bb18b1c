// Membership of a bus: a secret shared by its agents (WEX_SECRET, or
// WexSetSecret).  With one, announcements carry a MAC, and a connection
// starts with a challenge and response in which both sides prove that they
// know the secret, over fresh nonces and both agent ids, before either
// sends its name, patterns or messages.  The crypto is libsodium's
// HMAC-SHA-256; without libsodium the library builds, and refuses secrets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wex::auth {

constexpr size_t kNonceSize = 16;
constexpr size_t kTagSize = 32;          // a proof
constexpr size_t kAnnounceTagSize = 16;  // the MAC of an announcement, truncated

bool available();
// The secret of the next WexStart: the one given (nullptr or "": none), else
// $WEX_SECRET.  False, with *error set, when a secret is wanted but the
// library has no crypto.
bool load(const char *given, std::string *error);
bool enabled();

void fresh_nonce(unsigned char nonce[kNonceSize]);

// The proof that a side of a connection sends: connector or not, over the
// acceptor's and the connector's nonces and both ids.  Each side's proof
// differs from the other's, so none can be reflected back.
void proof(unsigned char tag[kTagSize], bool from_connector,
           const unsigned char acceptor_nonce[kNonceSize],
           const unsigned char connector_nonce[kNonceSize], uint64_t connector_id,
           uint64_t acceptor_id);
bool same_tag(const unsigned char *a, const unsigned char *b);

void announce_tag(unsigned char tag[kAnnounceTagSize], const unsigned char *datagram, size_t size);
bool announce_tag_valid(const unsigned char *tag, const unsigned char *datagram, size_t size);

}  // namespace wex::auth
