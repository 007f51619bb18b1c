(** Join a software bus of text messages.

    A program is one agent.  It names itself with {!init}, subscribes with
    {!bind} to the messages it wants (a regular expression each), joins a bus
    with {!start} and hands its thread to {!main_loop}.  Peers that send a
    message that one of its patterns matches reach the callback of that
    pattern, with the texts that the pattern's groups captured.  The same
    loop runs {!Timer}s and watches the program's own descriptors
    ({!Channel}).

    {[
      let () =
        Wex.init ~name:"echo" (fun _ _ -> ());
        let _ = Wex.bind "^echo (.*)" (fun _ args -> Wex.sendf "echoed %s" args.(0)) in
        Wex.start ();
        Wex.main_loop ()
    ]}

    {2 Callbacks and the loop}

    Every callback runs on the thread that called {!main_loop}, from inside
    it, and never from inside any other function of this module: a callback
    may call anything here, including removing the very object it was called
    for.

    An exception raised by a callback leaves {!main_loop} and reaches its
    caller.  The event whose callback raised counts as handled, nothing else
    is lost: calling {!main_loop} again goes on with the bus where it was,
    with every agent, binding, timer and channel as the callback left them.

    {!main_loop} called from inside a callback runs the same loop nested; it
    returns when {!stop} is called (which ends the outer call too) or when
    nothing is left to wait for.

    {2 Threads and signals}

    While {!main_loop} waits for something to happen, it releases the OCaml
    runtime: other threads of the program run (with the [threads] library),
    and a signal that arrives during the wait runs its OCaml handler at once
    (a handler installed with [Sys.set_signal]; one that calls {!stop} ends
    the loop, one that raises leaves it like a callback's exception).  Only
    the thread that runs {!main_loop} may call this module.

    {2 What peers see of a busy callback}

    Callbacks run one at a time on the loop's thread.  A callback that blocks
    (a long computation, a blocking read) stops the agent: after about four
    heartbeat periods (4 s by default) of silence its peers drop it as gone.

    {2 Errors}

    - A value that can never work raises [Invalid_argument] with a message
      that names the function, the value and the bus library's reason: a
      pattern that does not compile, a bus text the library refuses, a text
      holding a NUL byte, a descriptor that cannot be watched, a negative
      period.
    - {!start} raises [Failure] with the reason when the bus cannot be joined
      (its port is taken by something else, the sockets cannot be set up),
      or when the agent is on a bus already.
    - {!start}, {!send}, {!sendf} and {!bind} before {!init} raise [Failure].
    - A binding, timer or channel that was removed (or a timer that ended by
      itself) may be removed again: that does nothing.  Handles are never
      reused, so an old handle can never reach a newer object.
    - What goes wrong later, with no caller to tell (a peer dropped for
      breaking the protocol, a delivery too big to send), is a line on
      standard error, or wherever {!set_log} says.

    {2 The environment}

    - [WEX_BUS]: the bus of a {!start} without one.
    - [WEX_HEARTBEAT_MS]: the heartbeat period in milliseconds (10 to
      600000, default 1000); a peer silent for 4 periods is dropped.
    - [WEX_SECRET]: the bus secret of a {!start} without one.
    - [WEX_MULTICAST_TTL]: how many routers a multicast announcement crosses
      (1 to 255, default 1).

    A value out of range is refused with a line, and the default applies. *)

(** {1 Peers} *)

type client
(** A peer agent on the bus.  The same peer is the same value, from its
    [Connected] event to the return of its [Disconnected] callback: compare
    with [=], use as a key of [Map] or [Hashtbl].  After that the value may
    stand for a peer met later. *)

type event =
  | Connected  (** The peer has joined: it can be sent messages. *)
  | Disconnected  (** The peer has left; its name and host are still known
                      until this callback returns. *)
  | Unknown_event of int
      (** A code this version of the library does not know. *)

val name_of : client -> string
(** [name_of peer] is the name the peer announced, or [""] for a peer that
    has left. *)

val host_of : client -> string
(** [host_of peer] is the peer's numeric IPv4 address (["127.0.0.1"]), or
    [""] for a peer that has left. *)

val dropped : client -> int
(** [dropped peer] is the number of deliveries queued for [peer] that it
    will never get, counted when its connection closed: read it in the
    peer's [Disconnected] callback.  {!send}'s count promises a delivery
    queued to a live connection, not one received; this is what was lost of
    them.  [0] before the peer left, and for a peer forgotten since. *)

(** {1 The agent} *)

val init : name:string -> ?ready:string -> (client -> event -> unit) -> unit
(** [init ~name ?ready on_event] names this program's agent.  [on_event] is
    called for every peer that joins or leaves.  [ready], if not empty, is
    sent to each peer as soon as it is connected (to be delivered it must
    match one of that peer's patterns, like any message).  Calling [init]
    again replaces all three; on a running agent the new name and ready
    message apply to peers met from then on.
    @raise Invalid_argument if [name] or [ready] holds a NUL byte. *)

val start : ?bus:string -> ?secret:string -> unit -> unit
(** [start ?bus ?secret ()] joins the bus ["[ADDRESS][:PORT]"]: ADDRESS an IPv4
    broadcast address ([127.255.255.255] reaches this host only) or a
    multicast group (224.0.0.0/4), PORT its UDP port.  Without [bus], or
    with [""], the bus is [$WEX_BUS] where set, else
    [127.255.255.255:3110].  Either part may be left out: the default takes
    its place.  A unicast address is refused: it would reach one agent of
    the host only.  ["nats://HOST[:PORT][,HOST[:PORT]...][/BUSNAME]"]
    carries the bus over NATS servers instead (PORT 4222 and BUSNAME [wex]
    by default), where the bus library was built with libnats; agents on a
    NATS bus and on a LAN bus never meet.  Peers are met, and messages flow,
    once {!main_loop} runs.  With [secret] (or [$WEX_SECRET] when it is not
    given), only agents that know the same secret are met on a LAN bus: each
    side proves it before anything else is taken, and announcements are
    signed.  It guards who joins and what members send, not what they send
    being read.  A LAN bus beyond this host without a secret says so on the
    log.
    @raise Invalid_argument if the bus library refuses the bus text (the
    message says why).
    @raise Failure if the agent cannot join the bus, or is on one already,
    or before {!init}. *)

val running : unit -> bool
(** [running ()] is [true] from a {!start} that succeeded until {!stop}. *)

val stop : unit -> unit
(** [stop ()] says goodbye to every peer, lets queued messages leave (it
    waits while peers keep reading, up to 15 s), leaves the bus and ends
    {!main_loop} (every nested call of it too) once the callback that called
    [stop], if any, has returned.  Called while {!main_loop} is not running,
    it ends no later call of it.  {!start} afterwards joins the bus again;
    bindings stay.  Harmless when the agent is not on a bus.  A program
    that exits while on a bus (by [exit], or by an exception nobody caught)
    stops the same way from [at_exit]. *)

val flush : ?timeout:float -> unit -> bool
(** [flush ?timeout ()] lets queued messages leave now without leaving the
    bus: it writes what every peer takes, waiting while peers keep taking it,
    [timeout] seconds at most (default 5).  [true] when everything queued was
    handed over.  It blocks, callbacks included.
    @raise Invalid_argument if [timeout] is negative. *)

val main_loop : unit -> unit
(** [main_loop ()] runs the agent, its timers and its channels on the
    calling thread.  It returns after {!stop}, or when nothing is left that
    could call a callback: no agent on a bus, no timer and no channel.
    Callbacks' exceptions come out of it; see the top of this page. *)

val set_log : (string -> unit) option -> unit
(** [set_log (Some f)] hands every diagnostic line of the bus library to [f]
    instead of standard error (without the ["wex: "] prefix); [set_log None]
    sends them to standard error again.  [f] runs inside whichever function
    produced the line: it must not call this module, and an exception it
    raises is dropped. *)

(** Another event loop (Lwt's, say) can run the agent instead of
    {!main_loop}: it waits until {!Embed.descriptor} is readable or
    {!Embed.timeout} milliseconds have passed, then calls {!Embed.step},
    and again.  The library [wex.lwt] does this for Lwt. *)
module Embed : sig
  val descriptor : unit -> Unix.file_descr
  (** The loop's descriptor: readable when something is ready for the loop,
      and also whenever work for it arises outside it (a message queued, a
      timer made).  Never read or close it. *)

  val timeout : unit -> int option
  (** Milliseconds until the next timer is due ([Some 0]: there is work
      now); [None] when nothing is left that could call a callback. *)

  val step : unit -> unit
  (** One iteration of the loop that does not block.  Callbacks run inside
      it, and their exceptions come out of it as out of {!main_loop}. *)
end

(** {1 Messages} *)

val max_message : int
(** The longest message {!send} accepts, in bytes (one mebibyte). *)

val send : string -> int
(** [send message] queues [message] for every connected peer with a pattern
    that matches it (matching happens here, at the sender) and returns the
    number of deliveries: one per matching pattern of each peer.  Any byte
    but NUL may appear; nothing in it is a format directive.  The loop
    writes what is queued at its next iteration: a message sent before a
    peer is connected never reaches that peer, and a message is only queued
    until the loop runs, {!flush} or {!stop} (or the exit of the program)
    hands it over.  A delivery whose captured texts exceed 4 MiB is dropped
    and not counted, with a line on the log.
    @raise Invalid_argument if [message] holds a NUL byte or is longer than
    {!max_message}.
    @raise Failure before {!init}. *)

val sendf : ('a, unit, string, unit) format4 -> 'a
(** [sendf format args] formats like [Printf.sprintf], then {!send}s,
    ignoring the count. *)

type binding
(** One subscription.  Compared with [=]; usable as a map key. *)

val bind : string -> (client -> string array -> unit) -> binding
(** [bind pattern on_message] subscribes to every message that [pattern]
    matches anywhere (unless anchored with [^] or [$]).  The syntax is that
    of RE2: [(...)] captures, [(?:...)] does not, and [.] does not match a
    newline unless the pattern starts with [(?s)].  For each match,
    [on_message peer texts] gets the sender and the captured texts in group
    order ([""] for a group that did not take part).  The pattern is sent to
    every peer, now and met later.  A pattern is at most 16 KiB with at most
    256 groups, and must compile within 256 KiB of RE2's memory.
    @raise Invalid_argument with RE2's reason if the pattern does not
    compile, or if it holds a NUL byte.
    @raise Failure before {!init}. *)

val unbind : binding -> unit
(** [unbind b] withdraws the subscription from every peer.  Its callback is
    not called again, not even for a message already received.  Unbinding
    twice does nothing. *)

(** {1 Timers} *)

type timer
(** A repeating timer.  Compared with [=]; usable as a map key. *)

module Timer : sig
  type t = timer
  (** The timer. *)

  val every : ?count:int -> ms:int -> (timer -> unit) -> timer
  (** [every ?count ~ms f] calls [f t] every [ms] milliseconds, [t] being
      the timer that [every] returned.  Expiries follow the clock, not the
      end of each callback; a loop that fell more than a period behind calls
      [f] once and skips the missed expiries.  With [count], [f] runs exactly
      [count] times, then the timer ends by itself; without, it repeats
      until {!remove}d.  [~ms:0] runs [f] once per loop iteration, after
      descriptors have been served; while such a timer exists the loop
      never blocks.  A timer made from a timer's callback first fires in a
      later pass.
      @raise Invalid_argument if [ms] is negative or [count] is not
      positive, or either is beyond 2{^31}-1. *)

  val remove : timer -> unit
  (** [remove t] cancels the timer at once, even from inside its own
      callback: [f] is not called again.  Removing a timer that was removed
      or has ended does nothing. *)

  val active : timer -> bool
  (** [active t] is [true] while [t] will fire again: [false] once it was
      removed, and for a timer with a count from the start of its last
      callback. *)
end

(** {1 Channels} *)

type channel
(** A watched descriptor.  Compared with [=]; usable as a map key. *)

module Channel : sig
  type t = channel
  (** The channel. *)

  val watch : Unix.file_descr -> (channel -> unit) -> channel
  (** [watch fd f] calls [f c] from the loop while [fd] is readable, and
      also on hang-up or error so that reading sees end of file; [c] is the
      channel that [watch] returned.  [f] must read (or {!remove}) or it is
      called again at once.  Regular files count as always readable.  Only
      reading is watched.  Several channels may watch one descriptor; each
      is called in turn.  The descriptor stays the caller's: it is never
      closed here.
      @raise Invalid_argument if the loop refuses [fd] (closed, say); the
      reason is printed on standard error. *)

  val remove : channel -> unit
  (** [remove c] stops watching at once: [f] is not called again, even for
      an event already seen.  The descriptor is not closed.  Removing twice
      does nothing. *)
end

(** {1 Diagnostics} *)

val closure_names : unit -> int
(** How many names this library has registered with [Callback.register].
    Names of removed bindings, timers and channels are reused, so this stays
    at the largest number of each kind alive at once (plus one for
    {!init}), however many come and go. *)
