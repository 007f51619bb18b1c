// The seam between the agent and what carries its frames.
//
// A transport finds the other agents of a bus and keeps one link to each: an
// ordered, reliable stream of frames in both directions.  The agent's logic
// (presence, subscriptions, matching, dispatch, the ready message) knows
// links, never sockets:
//
//   peers appear   the transport calls LinkEvents::link_opened, and the agent
//                  makes the Link (a Peer) and queues its handshake;
//   frames out     the agent appends encoded frames to Link::out and calls
//                  Transport::send, once per loop iteration at most;
//   frames in      the transport calls LinkEvents::link_readable, and the
//                  agent pulls bytes with Transport::receive into Link::in,
//                  where it splits and handles the frames;
//   peers go       the transport calls LinkEvents::link_failed, or the agent
//                  decides (a goodbye, a protocol fault, silence) and calls
//                  Transport::close.
//
// The agent owns every Link and its buffers; the transport owns what carries
// them (its sockets), hung on Link::carrier.  Everything runs on the loop's
// thread, from loop callbacks.  link_readable may run user callbacks, which
// may leave by longjmp: a transport calls it last, with nothing of its own
// left to do after it.  No other LinkEvents call runs a user callback.  Two
// transports: the LAN's (lan_transport.h) and, where the library was built
// with libnats, the one over NATS servers (nats_transport.cpp).
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/byte_buffer.h"
#include "wire/bus_address.h"

namespace wex {

struct Link {
  ByteBuffer in;             // received bytes: appended by receive(), consumed by the agent
  ByteBuffer out;            // queued frames: appended by the agent, consumed by the transport
  bool input_ended = false;  // the peer sends nothing more (it closed, or a reset)
  // The agent id that discovery announced for this link, 0 when the peer
  // came to us: its HELLO must then claim the same id.
  uint64_t announced_id = 0;
  char host[INET_ADDRSTRLEN] = "";  // numeric IPv4 address of the peer
  void *carrier = nullptr;          // the transport's own state

  // The transport handed the first n bytes of out to the peer.  Whole frames
  // are counted as they go, so that what is left at a close can be told in
  // deliveries (unsent_messages).
  void sent(size_t n);
  // Empties out, for a link that closes: returns the MESSAGE frames in it,
  // the peer will never get them (a frame begun but not finished included).
  unsigned long drop_output();

 private:
  size_t next_frame_ = 0;          // offset in out of the first frame not begun
  bool begun_is_message_ = false;  // the frame begun and not finished is a MESSAGE
};

class LinkEvents {
 public:
  // A new link to the agent at host (announced_id as for Link): the agent
  // returns the Link it made for it, its handshake already in Link::out.
  virtual Link *link_opened(uint32_t host, uint64_t announced_id) = 0;
  // Bytes can be received, or the input ended.
  virtual void link_readable(Link *link) = 0;
  // The link broke (a failed connect, a failed write); reason for the log, or
  // nullptr when it is an ordinary end.  The agent closes it.
  virtual void link_failed(Link *link, const char *reason) = 0;
  // Whether an agent of this id has a link already (discovery skips it).
  virtual bool knows_agent(uint64_t id) = 0;
  // Whether a new link to host may open now; when not, the transport does
  // not connect, or closes what it accepted at once.
  virtual bool may_open_link(uint32_t host, bool outgoing) = 0;

 protected:
  ~LinkEvents() = default;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Joins the bus as agent id; false, with *error set, when it cannot.
  virtual bool start(const BusAddress &bus, uint64_t agent_id, LinkEvents *events,
                     std::string *error) = 0;
  // Once per heartbeat period, while started, with the number of peers.
  virtual void tick(size_t peers) = 0;
  // Up to size bytes of the link's input into buffer: their count, 0 when
  // none are there now, -1 when the input has ended (it never starts again).
  virtual long receive(Link *link, char *buffer, size_t size) = 0;
  // Writes what the link takes of Link::out now, the rest as it takes more.
  // False when the link broke: the agent then closes it.
  virtual bool send(Link *link) = 0;
  // WexStop's wait: lets the queued output of these links leave while the
  // peers keep taking it; gives up once none took anything for idle_ms, and
  // after max_ms in all.
  virtual void drain(const std::vector<Link *> &links, int idle_ms, int max_ms) = 0;
  // Ends the link: nothing is sent or received after this, and the transport
  // forgets it (Link::carrier is null again).  Leaving, the agent first lets
  // the peer read what was sent (a goodbye) rather than have it reset.
  virtual void close(Link *link, bool leaving) = 0;
  // Leaves the bus once every link is closed.
  virtual void stop() = 0;
};

std::unique_ptr<Transport> make_lan_transport();
#ifdef WEX_HAVE_NATS
std::unique_ptr<Transport> make_nats_transport();
#endif

}  // namespace wex
