// The announcement datagram decoder, fed any datagram.  Checked against
// docs/protocol.md read independently: a datagram is taken exactly when it
// has the magic, version 1, a non-zero port and a non-zero id, and is of
// kind 0 with at least 16 bytes or of kind 1 with at least 32 (its MAC is
// checked elsewhere); what is taken is the port, id and kind at their
// offsets, and they encode back to the datagram's first 16 bytes.
#include <cstring>

#include "fuzz.h"
#include "wire/protocol.h"

using namespace wex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *d = data;
  bool valid = size >= 16 && memcmp(d, "WEXA", 4) == 0 && d[4] == 1 &&
               (d[5] == 0 || (d[5] == 1 && size >= 32)) && (d[6] | d[7]) != 0 &&
               (d[8] | d[9] | d[10] | d[11] | d[12] | d[13] | d[14] | d[15]) != 0;
  uint16_t port = 0;
  uint64_t id = 0;
  proto::AnnounceKind kind = proto::kPlainAnnounce;
  bool taken = proto::decode_announce(data, size, &port, &id, &kind);
  FUZZ_CHECK(taken == valid);
  if (!taken) return 0;
  FUZZ_CHECK(port == (d[6] << 8 | d[7]));
  uint64_t want = 0;
  for (int i = 8; i < 16; ++i) want = want << 8 | d[i];
  FUZZ_CHECK(id == want);
  unsigned char again[proto::kAnnounceSize];
  FUZZ_CHECK(kind == d[5]);
  proto::encode_announce(again, port, id, kind);
  FUZZ_CHECK(memcmp(again, data, sizeof again) == 0);
  return 0;
}
