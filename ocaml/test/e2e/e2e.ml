(* End-to-end: this program is the agent "alpha" on a loopback bus of its
   own, with a second OCaml agent (this same program as "peer"), the C++
   agent tool of the bus library and the probe.  Run in bytecode and native.
   With "nats", the bus is carried by a three-node NATS cluster that this
   program starts on loopback, each agent on a node of its own, and the
   cases that concern the bus run again there.

   Usage: e2e WEXPROBE [nats]     (the C++ tool is found in $WEX_BIN_DIR)
          e2e peer NAME BUS *)

open Harness

let localhost = "127.0.0.1"

(* ---- Before the agent exists, and without a bus ---- *)

let before_init () =
  raises "start before init" (fun () -> Wex.start ());
  raises "send before init" (fun () -> Wex.send "x");
  raises "bind before init" (fun () -> Wex.bind "x" (fun _ _ -> ()));
  raises "a name with a NUL" (fun () -> Wex.init ~name:"a\000b" (fun _ _ -> ()))

let argument_errors () =
  let message_of f =
    match f () with _ -> "" | exception Invalid_argument m -> m
  in
  let bad = message_of (fun () -> Wex.bind "(unclosed" (fun _ _ -> ())) in
  check ("an invalid pattern is named: " ^ bad)
    (bad <> "" && Option.is_some (String.index_opt bad '(')
    && List.exists (fun w -> w = "\"(unclosed\"") (String.split_on_char ' ' bad));
  List.iter
    (fun bus -> raises ("bus " ^ bus) (fun () -> Wex.start ~bus ()))
    [ "nonsense"; "127.0.0.1:0"; "127.0.0.1:70000"; "1.2.3:4"; "256.1.1.1"; ":x" ];
  (* A NUL anywhere in a message: at either end, on both sides of the
     boundaries of eight and sixteen bytes, and bytes that are not NUL but
     look like it to a careless word test (0x01, 0x80, 0xff). *)
  List.iter
    (fun at ->
      let text = Bytes.make 37 'x' in
      Bytes.set text at '\000';
      raises (Printf.sprintf "a message with a NUL at %d" at) (fun () ->
          Wex.send (Bytes.to_string text)))
    [ 0; 1; 7; 8; 15; 31; 32; 36 ];
  raises "a message of one NUL" (fun () -> Wex.send "\000");
  (match Wex.send (String.init 40 (fun i -> "\001\128\255\127".[i mod 4])) with
  | n -> equal "deliveries with nobody to deliver to" string_of_int 0 n
  | exception Invalid_argument _ -> fail "a message without NUL refused");
  raises "a message over the limit" (fun () ->
      Wex.send (String.make (Wex.max_message + 1) 'x'));
  raises "a negative period" (fun () -> Wex.Timer.every ~ms:(-1) ignore);
  raises "a count of zero" (fun () -> Wex.Timer.every ~count:0 ~ms:1 ignore);
  let r, w = Unix.pipe () in
  Unix.close r;
  Unix.close w;
  raises "watching a closed descriptor" (fun () -> Wex.Channel.watch r ignore)

exception Boom

let timers () =
  let fired = ref 0 and active_inside = ref [] in
  let counted =
    Wex.Timer.every ~count:3 ~ms:5 (fun t ->
        incr fired;
        active_inside := Wex.Timer.active t :: !active_inside)
  in
  check "a counted timer is active at first" (Wex.Timer.active counted);
  let forever = ref 0 in
  let _ =
    Wex.Timer.every ~ms:3 (fun t ->
        incr forever;
        if !forever = 4 then Wex.Timer.remove t)
  in
  let idle = ref 0 in
  let idle_timer = Wex.Timer.every ~ms:0 (fun _ -> incr idle) in
  wait_for "the timers" (fun () -> !fired = 3 && !forever = 4 && !idle > 10);
  Wex.Timer.remove idle_timer;
  Wex.Timer.remove idle_timer;
  let idle_seen = !idle in
  settle 0.1;
  equal "expiries of a timer with a count of 3" string_of_int 3 !fired;
  equal "active during each expiry" (show_list string_of_bool)
    [ false; true; true ] !active_inside;
  check "ended by itself" (not (Wex.Timer.active counted));
  Wex.Timer.remove counted;
  equal "a timer removed in its own callback" string_of_int 4 !forever;
  equal "an idle timer after its removal" string_of_int idle_seen !idle;
  (* An exception leaves the loop at the third expiry; the loop goes on. *)
  let calls = ref 0 and raised = ref 0 in
  let _ =
    Wex.Timer.every ~count:5 ~ms:2 (fun _ ->
        incr calls;
        if !calls = 3 then raise Boom)
  in
  if
    not
      (run_until
         ~on_exn:(function Boom -> incr raised; true | _ -> false)
         (fun () -> !calls = 5))
  then fail "timed out after %d expiries" !calls;
  equal "exceptions out of the loop" string_of_int 1 !raised;
  settle 0.02;
  equal "expiries of a timer whose third raised" string_of_int 5 !calls

let channels () =
  let r, w = Unix.pipe ~cloexec:true () in
  let received = Buffer.create 16 and at_end = ref false in
  let chunk = Bytes.create 16 in
  let _ =
    Wex.Channel.watch r (fun c ->
        match Unix.read r chunk 0 16 with
        | 0 -> at_end := true; Wex.Channel.remove c
        | n -> Buffer.add_subbytes received chunk 0 n)
  in
  ignore (Unix.write_substring w "through the pipe" 0 16);
  wait_for "the pipe's text" (fun () -> Buffer.contents received = "through the pipe");
  Unix.close w;
  wait_for "end of file on the pipe" (fun () -> !at_end);
  Unix.close r;
  (* Removed from its callback without reading: never called again, though
     the descriptor stays readable. *)
  let r, w = Unix.pipe ~cloexec:true () in
  ignore (Unix.write_substring w "x" 0 1);
  let calls = ref 0 in
  let _ = Wex.Channel.watch r (fun c -> incr calls; Wex.Channel.remove c) in
  wait_for "a readable pipe" (fun () -> !calls > 0);
  settle 0.05;
  equal "calls after remove" string_of_int 1 !calls;
  Unix.close r;
  Unix.close w

(* Binding, timers and channels coming and going keep the runtime's registry
   at a constant size, and the closures they held can be collected. *)
let collected = ref 0

let[@inline never] watched_closure () =
  let captured = Bytes.make 32 'c' in
  Gc.finalise (fun _ -> incr collected) captured;
  fun _ _ -> ignore (Bytes.length captured)

let registry () =
  let warm = Wex.bind "warm" (fun _ _ -> ()) in
  Wex.unbind warm;
  Wex.Timer.remove (Wex.Timer.every ~ms:1000 ignore);
  let r, w = Unix.pipe () in
  Wex.Channel.remove (Wex.Channel.watch r ignore);
  let before = Wex.closure_names () in
  let live_words () = Gc.full_major (); (Gc.stat ()).Gc.live_words in
  let words_before = live_words () in
  for i = 1 to 100_000 do
    let b = Wex.bind "^cycle ([0-9]+)$" (fun _ _ -> ignore i) in
    Wex.unbind b;
    Wex.Timer.remove (Wex.Timer.every ~ms:1000 (fun _ -> ignore i))
  done;
  for _ = 1 to 1000 do
    Wex.Channel.remove (Wex.Channel.watch r ignore)
  done;
  equal "closure names after 100000 bind/unbind and timer cycles"
    string_of_int before (Wex.closure_names ());
  (* Anything kept per cycle (a table entry, a closure) would be hundreds of
     thousands of words. *)
  let growth = live_words () - words_before in
  check (Printf.sprintf "live heap grew by %d words over the cycles" growth) (growth < 20_000);
  let b = Wex.bind "collected" (watched_closure ()) in
  Wex.unbind b;
  Gc.full_major ();
  Gc.full_major ();
  equal "closures of unbound bindings collected" string_of_int 1 !collected;
  Unix.close r;
  Unix.close w

(* ---- Agents on the bus ---- *)

type delivery = { sender : string; texts : string array }

let deliveries : (string, delivery list) Hashtbl.t = Hashtbl.create 8
let delivered key = List.rev (Option.value ~default:[] (Hashtbl.find_opt deliveries key))

let record key client texts =
  Hashtbl.replace deliveries key
    ({ sender = Wex.name_of client; texts } :: Option.value ~default:[] (Hashtbl.find_opt deliveries key))

let bind_recorded key pattern = Wex.bind pattern (record key)

(* Peer events, with what name_of and host_of said inside the callback. *)
let events : (string * string * Wex.event) list ref = ref []

let on_event client event =
  events := (Wex.name_of client, Wex.host_of client, event) :: !events

let count_events name event =
  List.length (List.filter (fun (n, h, e) -> n = name && e = event && h = localhost) !events)

let has_event name event = List.exists (fun (n, h, e) -> n = name && e = event && h = localhost) !events

(* A peer's messages arrive in the order it sent them, its subscriptions
   included: once its "sync N" is here, every pattern it bound before is
   known here too. *)
let sync_count = ref 0

let sync ?(send = "send ") child =
  incr sync_count;
  let token = string_of_int !sync_count in
  tell child (send ^ "sync " ^ token);
  wait_for ("sync from " ^ child.label)
    (fun () -> List.exists (fun d -> d.texts = [| token |]) (delivered "sync"))

let discovery beta gamma =
  wait_for "beta and gamma" (fun () ->
      has_event "beta" Wex.Connected && has_event "gamma" Wex.Connected);
  expect_line beta "joined alpha 127.0.0.1";
  expect_line beta "joined gamma 127.0.0.1";
  expect_line gamma "connected\talpha\t127.0.0.1";
  expect_line gamma "connected\tbeta\t127.0.0.1"

(* The C++ agent tool prints tab-separated fields, its texts escaped. *)
let with_cpp_agent beta gamma =
  sync ~send:"/send " gamma;
  tell gamma "/send hello gamma ";
  wait_for "gamma's hello"
    (fun () -> List.exists (fun d -> d.sender = "gamma") (delivered "hello"));
  (match List.filter (fun d -> d.sender = "gamma") (delivered "hello") with
  | [ d ] -> equal "captures from C++" show_array [| "gamma"; "" |] d.texts
  | other -> fail "gamma's hello deliveries: %d" (List.length other));
  tell gamma "/bind ^to-gamma (.*)$";
  expect_line gamma "bound\t0";
  sync ~send:"/send " gamma;
  ignore (Wex.send "to-gamma tab\there");
  expect_line gamma "msg\talpha\t0\t1\ttab\\there";
  (* Between the two others, with alpha only watching. *)
  tell beta "send to-gamma from beta";
  expect_line gamma "msg\tbeta\t0\t1\tfrom beta"

(* Stop leaves the bus; start joins it again, bindings kept. *)
let stop_and_start bus gamma =
  let count line = List.length (List.filter (String.equal line) gamma.lines) in
  Wex.stop ();
  expect_line gamma "disconnected\talpha\t127.0.0.1\t0";
  Wex.start ~bus ();
  wait_for "gamma to meet alpha again"
    (fun () -> count "connected\talpha\t127.0.0.1" = 2);
  sync ~send:"/send " gamma;
  let left = count_events "gamma" Wex.Disconnected in
  tell gamma "/quit";
  wait_for "gamma to leave" (fun () -> count_events "gamma" Wex.Disconnected > left);
  match reap gamma with
  | Unix.WEXITED 0 -> ()
  | _ -> fail "gamma did not exit with 0"

let captures beta =
  let hello = bind_recorded "hello" "^hello (\\w+) (\\d*)$" in
  let _ = bind_recorded "opt" "^opt (a)?(b)$" in
  sync beta;
  tell beta "send hello beta 42";
  tell beta "send opt b";
  wait_for "beta's hello and opt" (fun () -> delivered "hello" <> [] && delivered "opt" <> []);
  (match delivered "hello" with
  | [ d ] ->
      equal "sender" Fun.id "beta" d.sender;
      equal "captures" show_array [| "beta"; "42" |] d.texts
  | other -> fail "hello deliveries: %d" (List.length other));
  (match delivered "opt" with
  | [ d ] -> equal "a group that took no part" show_array [| ""; "b" |] d.texts
  | other -> fail "opt deliveries: %d" (List.length other));
  (* The other way: beta binds, alpha sends. *)
  tell beta "bind ^to-beta (.*) (.*)$";
  tell beta "bind ^marker$";
  expect_line beta "bound 2";
  sync beta;
  ignore (Wex.send "to-beta one two");
  ignore (Wex.send "to-beta % %s");
  expect_line beta "got 1 alpha|one|two";
  expect_line beta "got 1 alpha|%|%s";
  hello

let unbinding beta hello =
  let before = List.length (delivered "hello") in
  Wex.unbind hello;
  Wex.unbind hello;
  tell beta "send hello beta 7";
  sync beta;
  equal "hello deliveries after unbind" string_of_int before
    (List.length (delivered "hello"));
  (* beta unbinds: alpha's message after its sync reaches nobody, and the
     marker behind it proves that beta has read it. *)
  tell beta "unbind 1";
  expect_line beta "unbound 1";
  sync beta;
  ignore (Wex.send "to-beta after unbind");
  ignore (Wex.send "marker");
  expect_line beta "got 2 alpha";
  check "beta's unbound pattern got nothing" (not (saw beta "got 1 alpha|after|unbind"))

let in_order beta =
  let next = ref 1 and disorder = ref 0 in
  let _ =
    Wex.bind "^n ([0-9]+)$" (fun _ texts ->
        if int_of_string texts.(0) <> !next then incr disorder;
        incr next)
  in
  sync beta;
  tell beta "flood n 10000";
  wait_for ~timeout:30.0 "10000 messages from beta" (fun () -> !next > 10000);
  equal "messages out of order" string_of_int 0 !disorder;
  settle 0.05;
  equal "messages from beta" string_of_int 10000 (!next - 1);
  tell beta "expect m 10000";
  expect_line beta "expecting m";
  sync beta;
  for i = 1 to 10000 do
    Wex.sendf "m %d" i
  done;
  expect_line ~timeout:30.0 beta "in order m"

(* Every seventh delivery raises; the loop is called again, and each message
   still arrives exactly once. *)
let exceptions beta =
  let seen = ref [] and raised = ref 0 in
  let _ =
    Wex.bind "^e ([0-9]+)$" (fun _ texts ->
        let n = int_of_string texts.(0) in
        seen := n :: !seen;
        if n mod 7 = 0 then raise Boom)
  in
  sync beta;
  tell beta "flood e 500";
  let complete () = List.length !seen >= 500 in
  if not (run_until ~timeout:30.0 ~on_exn:(function Boom -> incr raised; true | _ -> false) complete)
  then fail "timed out with %d of 500" (List.length !seen);
  settle 0.05;
  equal "each message once, in order" (fun l -> Printf.sprintf "%d items" (List.length l))
    (List.init 500 (fun i -> i + 1)) (List.rev !seen);
  equal "exceptions that left the loop" string_of_int 71 !raised

let probe_case wexprobe bus =
  let probe = spawn "wexprobe" wexprobe [ "-b"; bus; "-n"; "probe" ] in
  wait_for "the probe" (fun () -> has_event "probe" Wex.Connected);
  expect_line probe "+ alpha joined from 127.0.0.1";
  (* The probe meets each peer on its own schedule: .who below must not race
     its connection to beta. *)
  expect_line probe "+ beta joined from 127.0.0.1";
  tell probe ".bind ^hello (.*)$";
  expect_line probe "* [1] bound to \"^hello (.*)$\"";
  tell probe "sync probe";
  wait_for "the probe's sync"
    (fun () -> List.exists (fun d -> d.texts = [| "probe" |]) (delivered "sync"));
  ignore (Wex.send "hello from \"alpha\"");
  expect_line probe "[1] alpha \"from \\\"alpha\\\"\"";
  tell probe ".who";
  expect_line probe "=   alpha on 127.0.0.1";
  expect_line probe "=   beta on 127.0.0.1";
  tell probe ".bind (";
  expect_line probe "! invalid pattern \"(\"";
  tell probe ".quit";
  wait_for "the probe to leave" (fun () -> has_event "probe" Wex.Disconnected);
  (match reap probe with
  | Unix.WEXITED 0 -> ()
  | _ -> fail "the probe did not exit with 0")

(* No goodbye: the bus notices by itself (a closed connection on a LAN,
   the server's word over NATS). *)
let killed_peer wexagent bus =
  let delta = spawn "delta" wexagent [ "-n"; "delta"; "-b"; bus ] in
  wait_for "delta" (fun () -> has_event "delta" Wex.Connected);
  Unix.kill delta.pid Sys.sigkill;
  wait_for "delta reported gone" (fun () -> has_event "delta" Wex.Disconnected);
  ignore (reap delta)

let unreachable_server () =
  let bus = Printf.sprintf "nats://127.0.0.1:%d" (free_port ()) in
  match Wex.start ~bus () with
  | () ->
      fail "started with no server there";
      Wex.stop ()
  | exception Failure message ->
      check ("the reason given: " ^ message) (contains message "cannot reach any of its NATS servers")
  | exception Invalid_argument message -> fail "refused as a bad text: %s" message

let leaving beta =
  (* after our restart, beta may not have met us again yet *)
  wait_for "beta to meet us again" (fun () ->
      count_events "beta" Wex.Connected > count_events "beta" Wex.Disconnected);
  let left = count_events "beta" Wex.Disconnected in
  tell beta "stop";
  wait_for "beta to leave" (fun () -> count_events "beta" Wex.Disconnected > left);
  (match reap beta with
  | Unix.WEXITED 0 -> ()
  | _ -> fail "beta did not exit with 0");
  (* its last line may still be in the pipe: read on until it comes *)
  expect_line beta "stopped"

let main wexprobe nats =
  let wexagent =
    match Sys.getenv_opt "WEX_BIN_DIR" with
    | Some dir -> Filename.concat dir "wexagent"
    | None -> prerr_endline "e2e: WEX_BIN_DIR must name the bus library's bin/"; exit 2
  in
  let skip why =
    Printf.printf "e2e over NATS: skipped: %s\n%!" why;
    exit 0
  in
  (* alpha's bus, beta's and the probe's, gamma's *)
  let bus, bus1, bus2 =
    if not nats then
      let bus = fresh_bus () in
      (bus, bus, bus)
    else
      match start_nats_cluster () with
      | Ok [ n0; n1; n2 ] -> (nats_bus n0, nats_bus n1, nats_bus n2)
      | Ok _ -> skip "not three nodes"
      | Error why -> skip why
  in
  Printf.printf "bus %s\n%!" bus;
  if not nats then case "errors before init" before_init;
  Wex.init ~name:"alpha" on_event;
  if not nats then begin
    case "errors for bad arguments" argument_errors;
    case "timers" timers;
    case "a channel on a pipe" channels;
    case "a constant registry" registry
  end
  else case "an unreachable NATS server" unreachable_server;
  let _ = bind_recorded "sync" "^sync (.*)$" in
  (match Wex.start ~bus () with
  | () -> ()
  | exception Invalid_argument why when nats && contains why "without NATS support" -> skip why);
  let beta = spawn "beta" Sys.executable_name [ "peer"; "beta"; bus1 ] in
  let gamma = spawn "gamma" wexagent [ "-c"; "-n"; "gamma"; "-b"; bus2 ] in
  case "discovery of two OCaml agents and a C++ one" (fun () -> discovery beta gamma);
  let hello = ref None in
  case "captures both ways" (fun () -> hello := Some (captures beta));
  case "captures with the C++ agent" (fun () -> with_cpp_agent beta gamma);
  case "unbind" (fun () -> Option.iter (unbinding beta) !hello);
  case "10000 messages in order, both ways" (fun () -> in_order beta);
  case "an exception from a callback" (fun () -> exceptions beta);
  case "the probe through a pipe" (fun () -> probe_case wexprobe bus1);
  case "a peer killed outright" (fun () -> killed_peer wexagent bus2);
  case "stop and start again" (fun () -> stop_and_start bus gamma);
  case "a peer leaves" (fun () -> leaving beta);
  Wex.stop ();
  reap_all ();
  finish (if nats then "e2e over NATS" else "e2e")

let () =
  match Array.to_list Sys.argv with
  | [ _; "peer"; name; bus ] -> Peer.run name bus
  | [ _; wexprobe ] -> main wexprobe false
  | [ _; wexprobe; "nats" ] -> main wexprobe true
  | _ ->
      prerr_endline "usage: e2e WEXPROBE [nats] | e2e peer NAME BUS";
      exit 2
