(** Run a wex agent from Lwt.

    The agent is set up with {!Wex} as usual ({!Wex.init}, {!Wex.start});
    then, instead of {!Wex.main_loop}, {!run} lets Lwt's own loop run the
    agent's loop, and the program awaits messages as promises and streams:

    {[
      let () =
        Wex.init ~name:"greeter" (fun _ _ -> ());
        let hellos, _ = Wex_lwt.bind "^hello (.*)$" in
        Wex.start ();
        Lwt_main.run
          (Lwt.pick
             [ Wex_lwt.run ();
               Lwt_stream.iter
                 (fun { Wex_lwt.name; texts; _ } ->
                   ignore (Wex_lwt.send ("hi " ^ texts.(0) ^ ", from " ^ name)))
                 hellos ])
    ]}

    The library is [wex.lwt]: [(libraries wex.lwt)] with dune,
    [-package wex.lwt] with ocamlfind.  It is built where Lwt is installed.

    {2 How the loop runs}

    While {!run}'s promise is pending, Lwt's engine watches the wex loop's
    descriptor ({!Wex.Embed.descriptor}) and holds one timer, for the loop's
    next timer ({!Wex.Embed.timeout}); when either fires, one non-blocking
    step of the wex loop runs ({!Wex.Embed.step}), and the timer is set
    again.  Nothing is polled: an idle agent wakes up only for its
    heartbeat, once a second, and costs no measurable CPU.  Work that arises
    in Lwt code (a message sent, a timer made) wakes the loop through its
    descriptor at once.

    {2 Lwt code and wex callbacks}

    Lwt code never runs inside the wex loop: what this module has for Lwt (a
    delivery for a stream of {!bind}, the answer to a {!request}) is handed
    over right after the step in which it arrived.  Callbacks given to
    {!Wex.bind}, {!Wex.Timer.every} and {!Wex.Channel.watch} directly still
    run inside the step, as under {!Wex.main_loop}, and the rules of {!Wex}
    apply to them: they must not block.

    {2 Errors}

    An exception raised by a wex callback during a step rejects the promise
    of {!run} with that exception; nothing else is lost, and calling {!run}
    again goes on where the loop was, as {!Wex.main_loop} does.  Under
    [Lwt.async (fun () -> Wex_lwt.run ())] the exception reaches
    [!Lwt.async_exception_hook], which by default prints it and exits.

    Functions that return a promise report their errors by rejecting it,
    with the exceptions that {!Wex} raises for the same mistake. *)

(** {1 Running} *)

val run : unit -> unit Lwt.t
(** [run ()] runs the wex loop from Lwt until one of these ends it:
    - {!stop}, or {!Wex.stop} from a callback: the promise is fulfilled
      (after {!Wex.stop} from other Lwt code, at the loop's next wake-up, a
      heartbeat at most);
    - the agent leaving the bus in any other way, or nothing being left
      that could call a callback (no agent on a bus, no timer, no channel):
      fulfilled, as {!Wex.main_loop} returns (so start the agent first);
    - a callback's exception: rejected with it;
    - [Lwt.cancel], or [Lwt.pick] settling on another promise: the loop is
      no longer run, the agent stays on the bus.

    Once the promise is settled, nothing of [run] is left in Lwt's engine.
    Only one [run] at a time: a second one, while the first is pending, is
    rejected with [Failure].  A program that exits while on the bus leaves
    it as {!Wex.stop} does, with or without [run]. *)

val stop : unit -> unit
(** [stop ()] leaves the bus with {!Wex.stop} (which writes what is queued
    first, blocking while peers keep reading it, 15 s at most) and fulfils
    the promise of a pending {!run}. *)

(** {1 Messages} *)

type delivery = {
  peer : Wex.client;
      (** The sender, valid as {!Wex.client} says: it may have left by the
          time the delivery is read. *)
  name : string;  (** The sender's name when the message arrived. *)
  texts : string array;
      (** The texts the pattern's groups captured, as {!Wex.bind} gives
          them. *)
}
(** A message that matched a pattern of this agent. *)

val bind : string -> delivery Lwt_stream.t * Wex.binding
(** [bind pattern] subscribes to the messages that [pattern] matches, as
    {!Wex.bind} does, and returns the stream of its deliveries, in the
    order they arrived, and the binding.  The stream ends after {!unbind}
    (deliveries that arrived before it are still read first).  It keeps
    every delivery until it is read: read it, or unbind.
    @raise Invalid_argument if the pattern does not compile (with RE2's
    reason) or holds a NUL byte.
    @raise Failure before {!Wex.init}. *)

val unbind : Wex.binding -> unit
(** [unbind b] withdraws the subscription ({!Wex.unbind}) and ends its
    stream.  Unbinding twice does nothing.  ({!Wex.unbind} alone withdraws
    the subscription and leaves the stream open for good.) *)

val send : string -> int
(** [send message] is {!Wex.send}: it queues [message] for every peer with
    a pattern that matches it and returns the number of deliveries ([0]:
    nobody listens, which includes peers not yet connected).  The loop that
    {!run} runs writes it out at once.
    @raise Invalid_argument if [message] holds a NUL byte or is longer than
    {!Wex.max_message}.
    @raise Failure before {!Wex.init}. *)

(** {1 Requests} *)

exception Timeout of { message : string; pattern : string; seconds : float }
(** No delivery matched [pattern] within [seconds] of sending [message]. *)

val request : ?timeout:float -> string -> string -> string array Lwt.t
(** [request ?timeout message pattern] subscribes to [pattern], sends
    [message], and resolves with the captured texts of the first delivery
    that [pattern] matches, whoever sent it.  Put something in the message
    that the reply repeats (a number, the question) so that the pattern
    recognises its own answer.  The subscription is withdrawn when the
    request ends, however it ends.  A message that nobody received (a
    {!send} count of 0) still waits: to retry, catch {!Timeout} and ask
    again.

    The promise is rejected with {!Timeout} after [timeout] seconds
    (default 5; [infinity]: no limit), and may be cancelled ([Lwt.cancel],
    [Lwt.pick]).  It needs {!run} to be running to be answered.  It is
    rejected with [Invalid_argument] for a timeout that is not positive and
    for what {!bind} and {!send} refuse, with [Failure] before
    {!Wex.init}. *)
