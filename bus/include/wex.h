/* wex: a software bus for text messages.
 *
 * An agent joins a bus, subscribes to messages by regular expression and
 * receives, for every message that a peer sends and one of its patterns
 * matches, the texts that the pattern's groups captured.  Everything runs on
 * one event loop, on the thread that calls WexMainLoop: no callback of this
 * library ever runs anywhere else, nor inside any operation but WexMainLoop.
 *
 * Handles (clients, bindings, timers, channels) are opaque pointers owned by
 * the library.  Each is checked when it comes back: a handle that was removed,
 * that ended by itself, or that was never issued is ignored (queries return
 * NULL), never a crash.  Every handle value has its two highest bits equal, so
 * it survives a round trip through a 63-bit tagged integer exactly.
 *
 * A callback may call any operation, remove the very object it was called for,
 * or leave by a non-local exit (longjmp; this is how an OCaml exception leaves
 * it).  After such an exit the loop is consistent: the event whose callback
 * left counts as delivered, and the next WexMainLoop goes on from there.
 *
 * Words.  An agent is a program on the bus.  A peer is another agent that
 * this one is connected to; this interface calls a peer a client
 * (WexClientPtr) and names its queries after the application it runs
 * (WexGetApplicationName): all three are the same thing.  A link is the
 * connection that carries a peer's frames (TCP on a LAN, numbered streams
 * over NATS).  A binding is one subscription of this agent (WexBindMsg). */
#ifndef WEX_H
#define WEX_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define WEX_API __attribute__((visibility("default")))
#define WEX_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define WEX_API
#define WEX_PRINTF(fmt, args)
#endif

typedef struct WexClient *WexClientPtr;
typedef struct WexBinding *WexBindingPtr;
typedef struct WexTimer *WexTimerPtr;
typedef struct WexChannel *WexChannelPtr;

enum { WEX_CLIENT_CONNECTED = 0, WEX_CLIENT_DISCONNECTED = 1 };

/* The default bus: this host only, nobody from the network can join. */
#define WEX_DEFAULT_ADDRESS "127.255.255.255"
#define WEX_DEFAULT_PORT 3110
/* Largest message WexSendMsg accepts, in bytes, without its NUL. */
#define WEX_MAX_MESSAGE (1024 * 1024)

typedef void (*WexApplicationCallback)(WexClientPtr client, void *user_data, unsigned int event);
typedef void (*WexMsgCallback)(WexClientPtr client, void *user_data, int argc, char **argv);
typedef void (*WexTimerCallback)(WexTimerPtr timer, void *user_data, unsigned long third);
typedef void (*WexChannelHandler)(WexChannelPtr channel, int fd, void *user_data);
typedef void (*WexChannelDelete)(void *user_data);

/* ---- The agent ---------------------------------------------------------- */

/* Names this program's agent, sets the message it sends to each peer once
 * that peer is connected (matched against the peer's subscriptions like any
 * message; "" or NULL sends nothing), and sets the callback that hears of
 * peers: cb(client, user_data, WEX_CLIENT_CONNECTED or _DISCONNECTED).  The
 * library keeps both pointers as given, for as long as the agent uses them:
 * the caller must keep the texts alive and unchanged (the OCaml stubs hand
 * over copies that are never freed).  reserved1 and reserved2 must be 0.
 * Called again before WexStart it replaces all three; on a running agent the
 * new name and ready message apply to peers met from then on, and the new
 * callback to every later event.
 *
 * CONNECTED comes once a peer's name and subscriptions have arrived; the
 * ready message is queued for that peer just before the callback runs, so
 * it reaches the peer ahead of anything the callback sends.  DISCONNECTED
 * comes when the peer says goodbye, closes, breaks the protocol, stops
 * reading (over 64 MiB queued for it) or stays silent for 4 heartbeat
 * periods (1 s each; $WEX_HEARTBEAT_MS sets the period, read at WexStart).
 * The client handle stays valid during the DISCONNECTED callback and is
 * stale after it.  No DISCONNECTED is reported for peers that this agent
 * leaves by WexStop: their handles go stale at once. */
WEX_API void WexInit(const char *name, const char *ready, WexApplicationCallback cb,
                     void *user_data, void *reserved1, void *reserved2);

/* Joins the bus "[ADDRESS][:PORT]": ADDRESS an IPv4 broadcast address or a
 * multicast group (224.0.0.0/4), PORT the UDP port of the bus.  Or joins the
 * bus "nats://HOST[:PORT][,HOST[:PORT]...][/BUSNAME]" carried by NATS
 * servers (PORT 4222 and BUSNAME "wex" by default; the servers are tried as
 * libnats tries them, and reconnects go to any server of the cluster), with
 * the same semantics; a library built without libnats refuses it, saying
 * so.  A server that cannot be reached at start is a refusal, after at most
 * two seconds per server.  Agents on a NATS bus and on a LAN bus never meet.  NULL or ""
 * means $WEX_BUS where set, else WEX_DEFAULT_ADDRESS:WEX_DEFAULT_PORT.  The
 * text is read during the call only.  ADDRESS must be a multicast group,
 * 255.255.255.255, 127.255.255.255 or the broadcast address of an interface:
 * a unicast address would reach only one of the agents sharing the port.  A
 * loopback bus listens on 127.0.0.1 only, any other on every interface;
 * multicast datagrams go out with TTL 1 ($WEX_MULTICAST_TTL changes it).  A
 * malformed bus text, or sockets that cannot be set up, leave the agent off
 * the bus (WexRunning() stays 0) with the reason in WexLastError() and on the
 * log.  Starting a running agent is refused the same way and changes
 * nothing.  Bindings made before WexStart, or kept from an
 * earlier run, are sent to every peer met. */
WEX_API void WexStart(const char *bus);

/* Says goodbye to every peer and lets queued messages leave (the only wait
 * in the library): it waits while peers keep reading, gives up on a peer that
 * takes nothing for one second, and waits 15 seconds at most in all.  Then it
 * closes every socket of the agent,
 * and ends WexMainLoop once the callback that called it (if any) has
 * returned; every nested WexMainLoop ends too.  WexStart afterwards joins the
 * bus again, with the same bindings.  Harmless when the agent is not on a
 * bus. */
WEX_API void WexStop(void);

/* Lets queued output leave now, without leaving the bus: writes what every
 * peer takes, waiting while peers keep taking it, at most timeout_ms in all
 * (0: one write each, no wait).  Returns the number of peers that still have
 * output queued (0: everything was handed to the kernel).  Like WexStop, it
 * blocks the caller; a program about to exit calls it (or WexStop) so that
 * what it sent last is not lost. */
WEX_API int WexFlush(int timeout_ms);

/* Formats a message (printf-style; the format "%s" takes its text as it is,
 * with no copy), and sends it to every connected peer with a subscription
 * that matches it: matching happens here, at the sender, and each delivery
 * carries the captured texts.  The deliveries are queued and written by the
 * loop, once per iteration; a peer found dead meanwhile is reported from the
 * loop, never inside this call.  Returns the number of deliveries (one per
 * matching subscription; 0 off the bus), or -1, with the reason in
 * WexLastError(), for a message over WEX_MAX_MESSAGE bytes.  A message may hold any byte but NUL;
 * a NUL produced by the format ends it. */
WEX_API int WexSendMsg(const char *fmt, ...) WEX_PRINTF(1, 2);

/* Sends the size bytes at text as one message, as they are: WexSendMsg("%s",
 * text) for a text whose size is known, with no scan for its end and no
 * format.  The text need not be NUL-terminated.  Returns the number of
 * deliveries, or -1, with the reason in WexLastError(), for a message over
 * WEX_MAX_MESSAGE bytes or one that holds a NUL byte. */
WEX_API int WexSendText(const char *text, size_t size);

/* Subscribes to every message that the pattern (RE2 syntax, formatted
 * printf-style first) matches anywhere, unless anchored with ^ or $.  For each
 * match, cb(client, user_data, argc, argv) gets the sending peer and the texts
 * of the pattern's groups in group order ("" for a group that did not take
 * part); the texts are valid during the callback only.  The pattern is sent
 * to every connected peer and to peers met later; peers never get one of
 * their own messages.  Returns NULL, with the reason in WexLastError(), for a pattern
 * that does not compile within RE2's 256 KiB memory budget (RE2's reason is
 * given), that is longer than 16 KiB or that has more than 256 groups: the
 * limits every peer applies to the patterns it receives.  May be called
 * before WexStart; a binding lasts until WexUnbindMsg, across WexStop. */
WEX_API WexBindingPtr WexBindMsg(WexMsgCallback cb, void *user_data, const char *fmt, ...)
    WEX_PRINTF(3, 4);

/* Withdraws a subscription from every peer.  Its callback is never called
 * again, not even for a message already received.  NULL or stale: no-op. */
WEX_API void WexUnbindMsg(WexBindingPtr binding);

/* The name a peer announced, or NULL for a stale or foreign handle.  The text
 * belongs to the library and stays valid until the peer's DISCONNECTED
 * callback has returned. */
WEX_API const char *WexGetApplicationName(WexClientPtr client);

/* The peer's numeric IPv4 address ("127.0.0.1"), or NULL for a stale or
 * foreign handle.  Ownership as for WexGetApplicationName. */
WEX_API const char *WexGetApplicationHost(WexClientPtr client);

/* The number of deliveries queued for the peer that it will never get,
 * counted when its connection closed (0 before): read it in the peer's
 * DISCONNECTED callback.  A delivery count of WexSendMsg promises a delivery
 * queued to a live connection, not one received: this is what was lost of
 * them.  -1 for a stale or foreign handle. */
WEX_API long WexGetApplicationDropped(WexClientPtr client);

/* The secret that the agents of a bus share, for the next WexStart: NULL or
 * "" means $WEX_SECRET where set, else none.  With a secret, announcements
 * carry a MAC and every connection starts with a challenge and response in
 * which both sides prove they know it (HMAC-SHA-256 over fresh nonces and
 * both agent ids) before anything else is taken from the peer: agents with
 * another secret, with none, or replaying a handshake are refused, and
 * forged announcements ignored.  It protects who may join and what members
 * send; it does not hide what they send (see docs/protocol.md).  The text
 * is copied.  WexStart refuses a secret when the library was built without
 * libsodium.  A bus that is not loopback-only, started without a secret,
 * says so on the log. */
WEX_API void WexSetSecret(const char *secret);

/* 1 while the agent is on a bus: from a WexStart that succeeded until
 * WexStop.  0 before, after, and after a WexStart that was refused. */
WEX_API int WexRunning(void);

/* Checks a bus text exactly as WexStart would (NULL or "" stands for
 * $WEX_BUS, else the default bus) without starting anything: 1 when WexStart
 * would accept it, 0 otherwise.  When reason is not NULL, the reason for a
 * refusal ("" for an accepted text) is written there, cut to reason_size
 * bytes with its NUL: 256 bytes hold every reason. */
WEX_API int WexCheckBus(const char *bus, char *reason, size_t reason_size);

/* ---- Errors and diagnostics ---------------------------------------------- */

/* The reason of the last refusal of a call of this library on the calling
 * thread (WexStart, WexSendMsg, WexBindMsg, TimerRepeatAfter, WexChannelAdd
 * and WexCheckBus refuse), "" when none was refused yet.  A successful call
 * leaves it as it was, so read it right after the call that failed.  The
 * text belongs to the library and stays valid until the next call of this
 * library on the same thread. */
WEX_API const char *WexLastError(void);

/* Where the library's diagnostics go: a refusal, a peer dropped and why, a
 * datagram that could not be sent.  handler(line, user_data) gets one line
 * at a time, without the "wex: " prefix and without a newline.  By default
 * each line goes to stderr as "wex: LINE"; a NULL handler silences them.
 * Unlike every other callback, the handler runs inside whichever call
 * produced the line, on that call's thread: it must not call this library
 * and must return normally (no longjmp). */
typedef void (*WexLogHandler)(const char *line, void *user_data);
WEX_API void WexSetLogHandler(WexLogHandler handler, void *user_data);

/* ---- The loop ----------------------------------------------------------- */

/* Runs the loop on the calling thread: serves readable descriptors, timers and
 * the bus.  Returns when WexStop is called (once the calling callback has
 * returned), or when nothing is left that could ever call a callback: no agent
 * on a bus, no timer and no channel; the delete handlers of removed channels
 * run before it returns.  A wait interrupted by a signal calls the
 * resume hook (WexSetWaitHooks), then goes on.  A WexStop
 * made while no WexMainLoop runs does not end a later call.
 * A call from inside a callback runs the same loop nested: it goes on with
 * the pending events and returns on WexStop (which ends the outer call too)
 * or when nothing is left.  A loop left by a non-local exit from a callback
 * keeps no trace of having run: the next call simply goes on. */
WEX_API void WexMainLoop(void);

/* A loop embedded in another (an event library's): instead of WexMainLoop,
 * the program waits until WexLoopDescriptor() is readable or
 * WexLoopTimeout() milliseconds have passed (-1: no time limit), then calls
 * WexLoopStep(), and again.
 *
 * WexLoopDescriptor returns the loop's epoll descriptor (-1 if it cannot be
 * made); from the first call on, it also becomes readable whenever work for
 * the loop arises outside it: output queued by WexSendMsg, a timer made, a
 * channel removed.  The program must not read it or close it.
 * WexLoopTimeout is the time until the next timer is due, 0 when there is
 * work to do now, -1 when nothing is left that could call a callback.
 * WexLoopStep runs one iteration of the loop without blocking: what is
 * ready, the timers that are due, the idle timers.  It follows the rules of
 * WexMainLoop: re-entrant, consistent after a longjmp out of a callback, and
 * ended early by WexStop. */
WEX_API int WexLoopDescriptor(void);
WEX_API int WexLoopTimeout(void);
WEX_API void WexLoopStep(void);

/* Hooks around the loop's waits, for a language runtime that must be told:
 * before(user_data) just before the loop blocks in the kernel, after(user_
 * data) just after (neither around a poll that returns at once); they must
 * not call this library.  resume(user_data) runs after every wait that may
 * have blocked, a signal's included, from the loop, like a callback: the
 * runtime's chance to run what became pending meanwhile (signal handlers,
 * finalisers); it may call any operation (WexStop ends the loop) or leave
 * by longjmp.  NULLs remove the hooks. */
WEX_API void WexSetWaitHooks(void (*before)(void *), void (*after)(void *), void (*resume)(void *),
                             void *user_data);

/* Calls cb(timer, user_data, n) every period_ms milliseconds on the monotonic
 * clock, at start+P, start+2P, ...: the schedule follows the due times, not
 * the end of each callback, and a loop that fell more than a period behind
 * fires once and skips the missed expiries.  n is the number of times this
 * timer has fired, this one included (1, 2, ...).  count > 0: fires exactly
 * count times, then ends by itself (even if its last callback leaves by a
 * non-local exit; removing it from that callback or later is a no-op).
 * count <= 0: repeats until removed.  period_ms <= 0: fires once per loop
 * iteration, after descriptors have been served; while such a timer exists
 * the loop polls without blocking.  A timer made by a timer callback is not
 * run in the same pass.  The callback gets the very handle that this
 * returned.  Returns NULL, with the reason in WexLastError(), when cb is
 * NULL. */
WEX_API WexTimerPtr TimerRepeatAfter(int count, long period_ms, WexTimerCallback cb,
                                     void *user_data);

/* Cancels a timer at once: its callback is not called again, even if it was
 * due in the same pass.  Safe from inside the timer's own callback.  NULL,
 * stale or foreign handles: no-op. */
WEX_API void TimerRemove(WexTimerPtr timer);

/* Watches fd for reading: on_read(channel, fd, user_data) runs while fd is
 * readable, and also on hang-up or error so that the reader sees end of file.
 * A descriptor that epoll refuses because it is always ready (a regular file)
 * is served as poll(2) would: readable at every iteration, until removed
 * (the loop does not block meanwhile).  Several channels may watch one
 * descriptor; each is called in turn.  on_write is kept for the shape of the
 * interface and never called: channels are watched for reading only, so an
 * always-writable descriptor never makes the loop spin.  Returns NULL, with
 * the reason in WexLastError(), for a negative or closed descriptor.  The
 * descriptor stays the caller's: it is never closed. */
WEX_API WexChannelPtr WexChannelAdd(int fd, void *user_data, WexChannelDelete on_delete,
                                    WexChannelHandler on_read, WexChannelHandler on_write);

/* Stops watching at once: no read handler runs after this, even for an event
 * already fetched.  on_delete(user_data) is called once, from the loop, at
 * its next iteration (or before WexMainLoop returns): never inside this call,
 * like every callback.  Never closes the descriptor.  NULL, stale or foreign
 * handles: no-op. */
WEX_API void WexChannelRemove(WexChannelPtr channel);

#ifdef __cplusplus
}
#endif

#endif /* WEX_H */
