// Messages: our subscriptions (bindings) and theirs, the matching of every
// message we send against each peer's subscriptions, and the delivery of
// what peers matched for us.  Matching happens at the sender, so a message
// crosses the network only to peers that want it, already cut into the texts
// of the pattern's groups.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "agent/agent.h"
#include "agent/pins.h"
#include "base/diagnostics.h"

namespace wex {
namespace {

// A peer whose unsent output passes this is not reading: it is dropped
// rather than allowed to grow our memory without bound.
constexpr size_t kHighWater = 64u << 20;

}  // namespace

void on_subscribe(Peer *p, const proto::Frame &f) {
  uint32_t id;
  const char *pattern;
  size_t size;
  if (!proto::parse_subscribe(f, &id, &pattern, &size)) return violation(p, "malformed SUBSCRIBE");
  std::string reason;
  switch (p->subs.add(id, std::string_view(pattern, size), &reason)) {
    case SubscriptionSet::Added::kAdded:
      break;
    case SubscriptionSet::Added::kIgnored:
      warn("pattern %u of %s ignored: %s", id, p->name.c_str(), reason.c_str());
      break;
    case SubscriptionSet::Added::kDuplicate:
      return violation(p, "subscription id used twice");
    case SubscriptionSet::Added::kFull:
      return violation(p, "too many subscriptions");
    case SubscriptionSet::Added::kOverBudget:
      return violation(p, "subscriptions over their budget of RE2 program size");
  }
}

void on_unsubscribe(Peer *p, const proto::Frame &f) {
  uint32_t id;
  if (!proto::parse_unsubscribe(f, &id)) return violation(p, "malformed UNSUBSCRIBE");
  p->subs.remove(id);
}

void on_message(Peer *p, const proto::Frame &f) {
  char *argv[proto::kMaxArgs + 1];
  uint32_t id;
  int argc;
  if (!proto::parse_message(f, &id, &argc, argv)) return violation(p, "malformed MESSAGE");
  argv[argc] = nullptr;
  Binding *b = agent.last_delivered;
  if (b == nullptr || b->wire_id != id) {
    auto it = agent.bindings.find(id);
    if (it == agent.bindings.end()) return;  // unbound since the peer matched it
    agent.last_delivered = b = it->second;
  }
  // A callback never gets fewer (or more) texts than its pattern has groups,
  // whatever the peer claims.
  if (argc != b->groups)
    return violation(p, "MESSAGE with a count of texts that is not its pattern's");
  b->cb(as_client(p), b->user_data, argc, argv);  // the peer is pinned (dispatch_pinned)
}

int queue_message(Peer *p, const char *text, size_t size) {
  int deliveries = 0;
  p->subs.match(std::string_view(text, size),
                [p, &deliveries](uint32_t id, const re2::StringPiece *groups, int count) {
                  if (p->closed()) return;  // dropped at the mark by an earlier delivery
                  if (!proto::put_message(p->out, id, groups, count)) {
                    warn(
                        "delivery to %s for its pattern %u dropped: its captured texts exceed "
                        "%u bytes",
                        p->name.c_str(), id, proto::kMaxFrame);
                    return;
                  }
                  ++deliveries;
                  // Checked per frame: one send never queues more than the
                  // mark and one frame for a peer, however many of its
                  // patterns match.
                  if (p->out.size() > kHighWater) {
                    char reason[96];
                    snprintf(reason, sizeof reason, "not reading, %zu bytes queued", p->out.size());
                    close_peer(p, reason);
                  }
                });
  if (deliveries > 0 && !p->closed()) mark_dirty(p);
  return deliveries;
}

}  // namespace wex

using namespace wex;

namespace {

// The "%s" of a format that holds no other conversion, or nullptr; *end is
// then the format's NUL.  One pass, as formats are short.
const char *one_text_between_literals(const char *fmt, const char **end) {
  const char *conversion = nullptr, *p = fmt;
  for (; *p != '\0'; ++p) {
    if (*p != '%') continue;
    if (conversion != nullptr || p[1] != 's') return nullptr;
    conversion = p++;
  }
  *end = p;
  return conversion;
}

inline __attribute__((always_inline)) int send_message(const char *message, size_t size) {
  int deliveries = 0;
  for (size_t i = 0; i < peers.open.size(); ++i) {
    Peer *p = peers.open[i];
    if (p->state == PeerState::kEstablished) deliveries += queue_message(p, message, size);
  }
  return deliveries;
}

}  // namespace

int WexSendMsg(const char *fmt, ...) {
  if (fmt == nullptr) {
    refuse("WexSendMsg: null format");
    return -1;
  }
  if (agent.message == nullptr) agent.message = static_cast<char *>(malloc(WEX_MAX_MESSAGE + 1));
  if (agent.message == nullptr) {
    refuse("WexSendMsg: out of memory");
    return -1;
  }
  va_list ap;
  va_start(ap, fmt);
  int n;
  const char *message = agent.message, *end = nullptr;
  if (fmt[0] == '%' && fmt[1] == 's' && fmt[2] == '\0') {
    // The common call, and the one the raw OCaml stubs make: the text itself
    // is the message, with no formatter and no copy (nothing that a send
    // does can change the caller's text meanwhile).
    const char *text = va_arg(ap, const char *);
    message = text ? text : "(null)";
    n = int(strnlen(message, size_t(WEX_MAX_MESSAGE) + 1));
  } else if (const char *conversion = one_text_between_literals(fmt, &end)) {
    // "ping %s" and the like, the usual call from C: assembled by hand, no
    // formatter.
    const char *text = va_arg(ap, const char *);
    if (text == nullptr) text = "(null)";
    size_t before = size_t(conversion - fmt), after = size_t(end - (conversion + 2));
    size_t size = before + strnlen(text, size_t(WEX_MAX_MESSAGE) + 1) + after;
    n = size > size_t(WEX_MAX_MESSAGE) ? WEX_MAX_MESSAGE + 1 : int(size);
    if (size <= size_t(WEX_MAX_MESSAGE)) {
      size_t middle = size - before - after;
      memcpy(agent.message, fmt, before);
      memcpy(agent.message + before, text, middle);
      memcpy(agent.message + before + middle, conversion + 2, after + 1);  // and the NUL
    }
  } else {
    n = vsnprintf(agent.message, WEX_MAX_MESSAGE + 1, fmt, ap);
    // A formatted NUL (%c of 0) ends the message there.
    if (n >= 0 && n <= WEX_MAX_MESSAGE) n = int(strnlen(message, size_t(n)));
  }
  va_end(ap);
  if (n < 0) {
    refuse("WexSendMsg: cannot format the message");
    return -1;
  }
  if (n > WEX_MAX_MESSAGE) {
    refuse("WexSendMsg: message of %d bytes refused, the limit is %d", n, WEX_MAX_MESSAGE);
    return -1;
  }
  return send_message(message, size_t(n));
}

// The text's size is known, so the one pass over it is the search for a NUL
// (the OCaml library's send: OCaml strings carry their length).
int WexSendText(const char *text, size_t size) {
  if (text == nullptr && size > 0) {
    refuse("WexSendText: null text");
    return -1;
  }
  if (size > size_t(WEX_MAX_MESSAGE)) {
    refuse("WexSendText: message of %zu bytes refused, the limit is %d", size, WEX_MAX_MESSAGE);
    return -1;
  }
  if (size > 0 && memchr(text, '\0', size) != nullptr) {
    refuse("WexSendText: message refused: it holds a NUL byte");
    return -1;
  }
  return send_message(size > 0 ? text : "", size);
}

WexBindingPtr WexBindMsg(WexMsgCallback cb, void *user_data, const char *fmt, ...) {
  if (cb == nullptr || fmt == nullptr) {
    refuse("WexBindMsg: null %s", cb ? "pattern" : "callback");
    return nullptr;
  }
  va_list ap;
  va_start(ap, fmt);
  char small[256];
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) {
    refuse("WexBindMsg: cannot format the pattern");
    return nullptr;
  }
  if (size_t(n) > proto::kMaxPattern) {
    refuse("WexBindMsg: pattern of %d bytes refused, the limit is %zu", n, proto::kMaxPattern);
    return nullptr;
  }
  std::string pattern;
  if (size_t(n) < sizeof small) {
    pattern.assign(small, size_t(n));
  } else {
    pattern.resize(size_t(n) + 1);
    va_start(ap, fmt);
    vsnprintf(pattern.data(), pattern.size(), fmt, ap);
    va_end(ap);
    pattern.resize(size_t(n));
  }
  pattern.resize(strlen(pattern.c_str()));
  RE2 re(pattern, pattern_options());
  if (!re.ok()) {
    refuse("WexBindMsg: pattern \"%s\" refused: %s", pattern.c_str(), re.error().c_str());
    return nullptr;
  }
  if (re.NumberOfCapturingGroups() > int(proto::kMaxArgs)) {
    refuse("WexBindMsg: pattern \"%s\" refused: more than %zu groups", pattern.c_str(),
           proto::kMaxArgs);
    return nullptr;
  }
  Binding *b = new Binding{0,         agent.next_wire_id++, cb,
                           user_data, std::move(pattern),   re.NumberOfCapturingGroups()};
  b->handle = agent.binding_handles.issue(HandleKind::kBinding, b);
  agent.bindings[b->wire_id] = b;
  for (Peer *p : peers.open) {
    if (p->closed() || !p->subscribed()) continue;  // the rest hear of it in the handshake
    proto::put_subscribe(p->out, b->wire_id, b->pattern);
    mark_dirty(p);
  }
  return reinterpret_cast<WexBindingPtr>(b->handle);
}

void WexUnbindMsg(WexBindingPtr binding) {
  Binding **found =
      agent.binding_handles.find(reinterpret_cast<uint64_t>(binding), HandleKind::kBinding);
  if (found == nullptr) return;
  Binding *b = *found;
  agent.binding_handles.retire(b->handle);
  agent.bindings.erase(b->wire_id);
  if (agent.last_delivered == b) agent.last_delivered = nullptr;
  for (Peer *p : peers.open) {
    if (p->closed() || !p->subscribed()) continue;  // the rest hear of it in the handshake
    proto::put_unsubscribe(p->out, b->wire_id);
    mark_dirty(p);
  }
  delete b;
}
