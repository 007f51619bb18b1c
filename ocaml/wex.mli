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

    {2 Errors}

    - A value that can never work raises [Invalid_argument] with a message
      that names the function and the value: a pattern that does not compile,
      a bus text that is not [[ADDRESS][:PORT]], a text holding a NUL byte, a
      descriptor that cannot be watched, a negative period.
    - {!start}, {!send}, {!sendf} and {!bind} before {!init} raise [Failure].
    - A binding, timer or channel that was removed (or a timer that ended by
      itself) may be removed again: that does nothing.  Handles are never
      reused, so an old handle can never reach a newer object. *)

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

(** {1 The agent} *)

val init : name:string -> ?ready:string -> (client -> event -> unit) -> unit
(** [init ~name ?ready on_event] names this program's agent.  [on_event] is
    called for every peer that joins or leaves.  [ready], if not empty, is
    sent to each peer as soon as it is connected (to be delivered it must
    match one of that peer's patterns, like any message).  Calling [init]
    again replaces all three; on a running agent the new name and ready
    message apply to peers met from then on.
    @raise Invalid_argument if [name] or [ready] holds a NUL byte. *)

val start : ?bus:string -> unit -> unit
(** [start ?bus ()] joins the bus ["[ADDRESS][:PORT]"]: ADDRESS an IPv4
    broadcast address ([127.255.255.255] reaches this host only) or a
    multicast group (224.0.0.0/4), PORT its UDP port.  Without [bus], or
    with [""], the bus is [$WEX_BUS] where set, else
    [127.255.255.255:3110].  Either part may be left out: the default takes
    its place.  Peers are met, and messages flow, once {!main_loop} runs.
    Starting a running agent changes nothing (the bus library says so on
    standard error).
    @raise Invalid_argument if the bus text is malformed.
    @raise Failure before {!init}. *)

val stop : unit -> unit
(** [stop ()] says goodbye to every peer, leaves the bus and ends
    {!main_loop} (every nested call of it too) once the callback that called
    [stop], if any, has returned.  Called while {!main_loop} is not running,
    it ends no later call of it.  {!start} afterwards joins the bus again;
    bindings stay.  Harmless when the agent is not on a bus. *)

val main_loop : unit -> unit
(** [main_loop ()] runs the agent, its timers and its channels on the
    calling thread.  It returns after {!stop}, or when nothing is left that
    could call a callback: no agent on a bus, no timer and no channel.
    Callbacks' exceptions come out of it; see the top of this page. *)

(** {1 Messages} *)

val max_message : int
(** The longest message {!send} accepts, in bytes (one mebibyte). *)

val send : string -> unit
(** [send message] sends [message] to every connected peer with a pattern
    that matches it (once per matching pattern).  Any byte but NUL may
    appear; nothing in it is a format directive.
    @raise Invalid_argument if [message] holds a NUL byte or is longer than
    {!max_message}.
    @raise Failure before {!init}. *)

val sendf : ('a, unit, string, unit) format4 -> 'a
(** [sendf format args] formats like [Printf.sprintf], then {!send}s. *)

type binding
(** One subscription.  Compared with [=]; usable as a map key. *)

val bind : string -> (client -> string array -> unit) -> binding
(** [bind pattern on_message] subscribes to every message that [pattern]
    matches anywhere (unless anchored with [^] or [$]).  The syntax is that
    of RE2: [(...)] captures, [(?:...)] does not.  For each match,
    [on_message peer texts] gets the sender and the captured texts in group
    order ([""] for a group that did not take part).  The pattern is sent to
    every peer, now and met later.
    @raise Invalid_argument naming the pattern if it does not compile (the
    reason is printed on standard error) or holds a NUL byte.
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
