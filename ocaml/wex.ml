(* The typed face of the raw stubs.  Two things live here and nowhere else:
   the closure names (every closure reaches the stubs through a name from a
   Wex_registry pool, given back when its object goes away), and the handles
   (bindings, timers and channels are serial numbers of our own mapped to the
   bus library's handles, so that a removed handle stays recognisably dead
   even once the bus library hands its address to a new object). *)

type client = int
type binding = int
type timer = int
type channel = int
type event = Connected | Disconnected | Unknown_event of int

let initialised = ref false
let int32_max = 0x7fff_ffff
let max_message = 1024 * 1024

(* Names, patterns and the like: a message's NUL is found by the bus
   library, which refuses it, and only then looked for here to say so. *)
let has_nul text = String.contains text '\000'

let check_text fn what text =
  if has_nul text then
    invalid_arg (Printf.sprintf "%s: %s %S holds a NUL byte" fn what text)

let need_init fn =
  if not !initialised then failwith (fn ^ ": call Wex.init first")

(* Serial numbers are never reused, across all three kinds; 2^62 of them
   will not run out. *)
let last_serial = ref 0

let fresh_serial () =
  incr last_serial;
  !last_serial

(* The raw handle and the name behind each live object, by serial number. *)
type live = { raw : int; slot : Wex_registry.slot }

let remove_live table pool serial release_raw =
  match Hashtbl.find_opt table serial with
  | None -> ()
  | Some live ->
      Hashtbl.remove table serial;
      release_raw live.raw;
      Wex_registry.release pool live.slot

(* ---- Peers and the agent ---- *)

let name_of = Wex_raw.wex_name_of_client
let host_of = Wex_raw.wex_host_of_client
let dropped client = max 0 (Wex_ext.dropped client)

let event_of_code = function
  | 0 -> Connected
  | 1 -> Disconnected
  | code -> Unknown_event code

(* The agent has one application closure at a time: a fixed name, replaced
   by every init. *)
let application_name = "wex.application"

let init ~name ?(ready = "") on_event =
  check_text "Wex.init" "name" name;
  check_text "Wex.init" "ready message" ready;
  Callback.register application_name (fun client code ->
      on_event client (event_of_code code));
  Wex_raw.wex_init name ready application_name;
  initialised := true

(* The bus library's reason for its last refusal, under the name of the OCaml
   function: "WexBindMsg: pattern ..." becomes "Wex.bind: pattern ...". *)
let refused fn =
  let reason = Wex_ext.last_error () in
  let reason =
    match String.index_opt reason ':' with
    | Some i when String.length reason > 3 && String.sub reason 0 3 = "Wex" ->
        String.trim (String.sub reason (i + 1) (String.length reason - i - 1))
    | _ -> reason
  in
  fn ^ ": " ^ reason

(* The bus library checks the bus text (its one parser) and says why it
   refused a start; both reasons reach the caller here. *)
let start ?(bus = "") ?(secret = "") () =
  need_init "Wex.start";
  check_text "Wex.start" "bus" bus;
  check_text "Wex.start" "secret" secret;
  if Wex_ext.running () then
    failwith "Wex.start: the agent is already on a bus (Wex.stop first)";
  (match Wex_ext.check_bus bus with
  | "" -> ()
  | reason -> invalid_arg ("Wex.start: " ^ reason));
  Wex_ext.set_secret secret;
  Wex_raw.wex_start bus;
  if not (Wex_ext.running ()) then failwith (refused "Wex.start")

let running = Wex_ext.running

let stop = Wex_raw.wex_stop
let main_loop = Wex_raw.wex_mainLoop

(* The runtime is released while the loop waits, and the program's signal
   handlers run when a signal ends a wait. *)
let () = Wex_ext.install_wait_hooks ()

let flush ?(timeout = 5.0) () =
  if Float.is_nan timeout || timeout < 0. then
    invalid_arg (Printf.sprintf "Wex.flush: timeout %g is not a duration" timeout);
  Wex_ext.flush (int_of_float (Float.min timeout 86400. *. 1000.)) = 0

(* What was sent last must not be lost when the program exits (by exit, or
   by an exception that nobody caught): leave as stop does. *)
let () = at_exit (fun () -> if Wex_ext.running () then Wex_raw.wex_stop ())

let log_name = "wex.log"

let set_log = function
  | None -> Wex_ext.set_log false
  | Some f ->
      Callback.register log_name f;
      Wex_ext.set_log true

module Embed = struct
  let descriptor () : Unix.file_descr =
    match Wex_ext.loop_descriptor () with
    | fd when fd >= 0 -> Obj.magic fd
    | _ -> failwith (refused "Wex.Embed.descriptor")

  let timeout () = match Wex_ext.loop_timeout () with -1 -> None | ms -> Some ms
  let step = Wex_ext.loop_step
end

(* ---- Messages ---- *)

(* The bus library checks the size and looks for a NUL, so a message that
   passes costs one test here; a refusal is explained here. *)
let send message =
  if not !initialised then need_init "Wex.send";
  match Wex_ext.send message with
  | -1 ->
      let size = String.length message in
      if size > max_message then
        invalid_arg
          (Printf.sprintf "Wex.send: a message of %d bytes is over the %d-byte limit"
             size max_message);
      check_text "Wex.send" "message" message;
      -1
  | deliveries -> deliveries

let sendf format = Printf.ksprintf (fun message -> ignore (send message)) format

let bindings : (binding, live) Hashtbl.t = Hashtbl.create 16

let binding_pool : (client -> string array -> unit) Wex_registry.t =
  Wex_registry.create ~prefix:"wex.binding." ~idle:(fun _ _ -> ())

(* The user's closure is registered as it is: the bus library never calls a
   binding's callback after unbind, so no check stands in the way of a
   message. *)
let bind pattern on_message =
  need_init "Wex.bind";
  check_text "Wex.bind" "pattern" pattern;
  let slot = Wex_registry.acquire binding_pool on_message in
  let raw = Wex_raw.wex_bindMsg (Wex_registry.name slot) pattern in
  if raw = 0 then begin
    Wex_registry.release binding_pool slot;
    invalid_arg (refused "Wex.bind")
  end;
  let serial = fresh_serial () in
  Hashtbl.replace bindings serial { raw; slot };
  serial

let unbind binding =
  remove_live bindings binding_pool binding Wex_raw.wex_unbindMsg

(* ---- Timers ---- *)

let timers : (timer, live) Hashtbl.t = Hashtbl.create 16

let timer_pool : (int -> unit) Wex_registry.t =
  Wex_registry.create ~prefix:"wex.timer." ~idle:ignore

module Timer = struct
  type t = timer

  let remove timer = remove_live timers timer_pool timer Wex_raw.wex_timerRemove
  let active timer = Hashtbl.mem timers timer

  (* The bus library ends a counted timer by itself after its last expiry;
     counting expiries here is how its name gets back to the pool.  The
     name is given back before the user's callback runs, so that an
     exception from the last expiry loses nothing and the timer is already
     inactive while that callback runs. *)
  let ended serial = remove_live timers timer_pool serial ignore

  let every ?count ~ms f =
    let fn = "Wex.Timer.every" in
    if ms < 0 || ms > int32_max then
      invalid_arg (Printf.sprintf "%s: period of %d ms is not in 0..%d" fn ms
                     int32_max);
    let count =
      match count with
      | None -> 0
      | Some n when n >= 1 && n <= int32_max -> n
      | Some n ->
          invalid_arg
            (Printf.sprintf "%s: count %d is not in 1..%d" fn n int32_max)
    in
    let serial = fresh_serial () in
    let raw = ref 0 and left = ref count in
    (* A name freed by an earlier timer may only be called by that timer if
       the bus library fired a timer it had ended; checking the handle costs
       one comparison and keeps the new closure safe from it. *)
    let expire handle =
      if handle = !raw then begin
        if !left > 0 then begin
          decr left;
          if !left = 0 then ended serial
        end;
        f serial
      end
    in
    let slot = Wex_registry.acquire timer_pool expire in
    raw := Wex_raw.wex_timerRepeatafter count ms (Wex_registry.name slot);
    if !raw = 0 then begin
      Wex_registry.release timer_pool slot;
      failwith (fn ^ ": the loop refused the timer")
    end;
    Hashtbl.replace timers serial { raw = !raw; slot };
    serial
end

(* ---- Channels ---- *)

let channels : (channel, live) Hashtbl.t = Hashtbl.create 16

let channel_pool : (int -> unit) Wex_registry.t =
  Wex_registry.create ~prefix:"wex.channel." ~idle:ignore

module Channel = struct
  type t = channel

  (* On Unix a file_descr is the descriptor's int; the Unix library offers
     no conversion of its own. *)
  let int_of_fd (fd : Unix.file_descr) : int = Obj.magic fd

  let watch fd f =
    let serial = fresh_serial () in
    let raw = ref 0 in
    let readable handle = if handle = !raw then f serial in
    let slot = Wex_registry.acquire channel_pool readable in
    raw := Wex_raw.wex_channelSetUp (int_of_fd fd) (Wex_registry.name slot);
    if !raw = 0 then begin
      Wex_registry.release channel_pool slot;
      invalid_arg (refused "Wex.Channel.watch")
    end;
    Hashtbl.replace channels serial { raw = !raw; slot };
    serial

  let remove channel =
    remove_live channels channel_pool channel Wex_raw.wex_channelClose
end

let closure_names () =
  (if !initialised then 1 else 0)
  + Wex_registry.names binding_pool
  + Wex_registry.names timer_pool
  + Wex_registry.names channel_pool
