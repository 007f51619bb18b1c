// The cost of matching one outgoing message against a peer's subscriptions
// while that peer keeps changing them.  A receiver with N prefix-shaped
// subscriptions, one of which matches; three runs of the same sends:
//
//   stable    the subscriptions never change;
//   toggle    before each send the peer withdraws one subscription and
//             subscribes it again under a new id (what a peer that keeps
//             binding and unbinding one pattern sends);
//   rotate    before each send the peer replaces a different one of its
//             subscriptions, round robin.
//
// Only the sends are timed (the receiving agent compiles the new pattern
// when its SUBSCRIBE arrives, whatever the matcher does).  ns per send, the
// median of 5 rounds, for patterns matched by hand and for patterns RE2
// matches.
//
//   subscriptions_bench [N] [SENDS]     default 5000 and 20000
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "match/subscriptions.h"

namespace {

using Clock = std::chrono::steady_clock;

// Anchored prefixes are matched by hand; without the anchor, RE2's set
// decides.
bool anchored = true;
std::string pattern(unsigned topic) {
  return (anchored ? "^topic" : "topic") + std::to_string(topic) + " (.*)$";
}

double run(unsigned n, unsigned sends, int mode) {
  wex::SubscriptionSet set;
  std::string reason;
  std::vector<uint32_t> id_of(n);
  uint32_t next_id = 1;
  for (unsigned i = 0; i < n; ++i) set.add(id_of[i] = next_id++, pattern(i), &reason);
  const std::string text = "topic" + std::to_string(n - 1) + " 0123456789abcdef0123456789";
  long matched = 0;
  Clock::duration spent{};
  for (unsigned k = 0; k < sends; ++k) {
    if (mode > 0) {
      unsigned which = mode == 1 ? 0 : k % (n - 1);  // never the matching one
      set.remove(id_of[which]);
      set.add(id_of[which] = next_id++, pattern(which), &reason);
    }
    auto start = Clock::now();
    matched += set.match(text, [](uint32_t, const re2::StringPiece *, int) {});
    spent += Clock::now() - start;
  }
  if (matched != long(sends)) std::fprintf(stderr, "wrong match count %ld\n", matched);
  return std::chrono::duration<double, std::nano>(spent).count() / sends;
}

double median_of_5(unsigned n, unsigned sends, int mode) {
  std::vector<double> r;
  for (int i = 0; i < 5; ++i) r.push_back(run(n, sends, mode));
  std::sort(r.begin(), r.end());
  return r[2];
}

}  // namespace

int main(int argc, char **argv) {
  unsigned n = argc > 1 ? unsigned(std::atoi(argv[1])) : 5000;
  unsigned sends = argc > 2 ? unsigned(std::atoi(argv[2])) : 20000;
  if (n < 2 || sends < 1) {
    std::fprintf(stderr, "usage: subscriptions_bench [N >= 2] [SENDS >= 1]\n");
    return 2;
  }
  for (bool a : {true, false}) {
    anchored = a;
    double stable = median_of_5(n, sends, 0);
    double toggle = median_of_5(n, sends, 1);
    double rotate = median_of_5(n, sends / 10 + 1, 2);
    std::printf(
        "send with %u subscriptions %s: stable %.0f ns, one toggled per send %.0f ns "
        "(%.2fx), one replaced per send, round robin, %.0f ns (%.2fx)\n",
        n, a ? "^topicN (.*)$, by hand" : "topicN (.*)$, by RE2", stable, toggle, toggle / stable,
        rotate, rotate / stable);
  }
  return 0;
}
