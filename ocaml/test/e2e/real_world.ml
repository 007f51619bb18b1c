(* What programs do besides living in Wex.main_loop: start on a bus that
   cannot work, exit right after sending, take signals, run threads, count
   and log.  The cases that must see a program exit run a copy of this
   program in one of the modes at the bottom. *)

open Harness

let raises_with what part f =
  match f () with
  | _ -> fail "%s: no exception" what
  | exception (Invalid_argument message | Failure message) ->
      check (Printf.sprintf "%s: %S says %S" what message part) (contains message part)

let refused_buses () =
  List.iter
    (fun bus ->
      raises_with bus "neither a broadcast address nor a multicast group" (fun () ->
          Wex.start ~bus ());
      check (bus ^ ": not running") (not (Wex.running ())))
    [ "127.0.0.1:4000"; "192.168.77.255"; "0.0.0.0" ];
  (* A port that a plain UDP socket holds cannot carry the bus. *)
  let holder = Unix.socket Unix.PF_INET Unix.SOCK_DGRAM 0 in
  Unix.bind holder (Unix.ADDR_INET (Unix.inet_addr_any, 0));
  let port = match Unix.getsockname holder with Unix.ADDR_INET (_, p) -> p | _ -> 0 in
  raises_with "a held port" "Address already in use" (fun () ->
      Wex.start ~bus:(":" ^ string_of_int port) ());
  check "a held port: not running" (not (Wex.running ()));
  Unix.close holder;
  raises_with "a bad pattern" "missing )" (fun () -> Wex.bind "(unclosed" (fun _ _ -> ()))

let connected : (Wex.client, unit) Hashtbl.t = Hashtbl.create 4

let count_msgs child = List.length (List.filter (fun l -> contains l "msg\t") child.lines)

(* A copy of this program sends 200 messages when it meets the receiver and
   leaves at once, by exit or by an exception nobody catches. *)
let sending_before_exit wexagent bus mode =
  let receiver = spawn "receiver" wexagent [ "-b"; bus; "-n"; "rx"; "-x"; "200"; "^n(\\d+)$" ] in
  let sender = spawn "sender" Sys.executable_name [ mode; bus ] in
  wait_for "200 messages" ~timeout:20.0 (fun () -> count_msgs receiver >= 200);
  equal "messages received" string_of_int 200 (count_msgs receiver);
  check "the last one is n199" (saw receiver "msg\tsender\t0\t1\t199");
  (match reap sender with
  | Unix.WEXITED code -> check "the sender's exit status" (code = if mode = "exit" then 0 else 2)
  | _ -> fail "the sender was killed");
  ignore (reap receiver)

let deliveries wexagent bus =
  let lines = ref [] in
  Wex.set_log (Some (fun line -> lines := line :: !lines));
  let peer =
    spawn "counter" wexagent
      [ "-b"; bus; "-n"; "counter"; "^count"; "^count (.*)$"; "^big((((x*))))$" ]
  in
  Wex.start ~bus ();
  expect_line peer "connected\treal_world\t127.0.0.1";
  wait_for "the counter to be connected" (fun () -> Hashtbl.length connected > 0);
  equal "deliveries of a message two patterns match" string_of_int 2 (Wex.send "count me");
  equal "deliveries of a message nobody wants" string_of_int 0 (Wex.send "nothing");
  (* Four groups of 1 MiB each: a delivery over the 4 MiB frame limit. *)
  equal "an oversized delivery is not counted" string_of_int 0
    (Wex.send ("big" ^ String.make (Wex.max_message - 3) 'x'));
  check "an oversized delivery is logged"
    (List.exists (fun l -> contains l "delivery to counter" && contains l "captured texts exceed") !lines);
  Wex.set_log None;
  Wex.stop ();
  ignore (reap peer)

(* With a secret, the OCaml agent meets the agent that shares it, and not
   the one with another. *)
let secret_members wexagent bus =
  Hashtbl.reset connected;
  let member =
    spawn ~env:[| "WEX_SECRET=opensesame" |] "member" wexagent [ "-b"; bus; "-n"; "member" ]
  in
  let stranger =
    spawn ~env:[| "WEX_SECRET=other" |] "stranger" wexagent [ "-b"; bus; "-n"; "stranger" ]
  in
  Wex.start ~bus ~secret:"opensesame" ();
  expect_line member "connected\treal_world\t127.0.0.1";
  settle 1.0;
  equal "peers met" string_of_int 1 (Hashtbl.length connected);
  check "the stranger met nobody" (not (has_line stranger (fun l -> contains l "connected")));
  Wex.stop ();
  ignore (reap member);
  ignore (reap stranger)

(* An idle agent on a bus, with a handler that stops it: SIGINT must reach
   the handler although the loop has nothing else to do. *)
let signal_stops_an_idle_agent bus =
  let idle = spawn "idle" Sys.executable_name [ "idle"; bus ] in
  expect_line idle "waiting";
  let sent = now () in
  Unix.kill idle.pid Sys.sigint;
  wait_for "the handler to stop the agent" ~timeout:5.0 (fun () -> saw idle "stopped");
  Printf.printf "     (SIGINT to the end of main_loop: %.0f ms)\n%!" ((now () -. sent) *. 1000.);
  check "the idle agent exited with 0" (reap idle = Unix.WEXITED 0)

let threads_run_while_the_loop_waits () =
  let ticks = ref 0 in
  let ticker = Thread.create (fun () -> for _ = 1 to 20 do Thread.delay 0.1; incr ticks done) () in
  ignore (Wex.Timer.every ~count:1 ~ms:2000 (fun _ -> raise Exit));
  (try Wex.main_loop () with Exit -> ());
  let during = !ticks in
  Thread.join ticker;
  check (Printf.sprintf "the thread ticked %d times of 20 during 2 s of main_loop" during)
    (during >= 15)

(* The session the README shows, with the programs as built in the tree and
   no library path in the environment: the probe started with a pattern
   prints the echo of what it is told. *)
let readme_session echo wexprobe bus =
  let env =
    Array.of_list
      (("WEX_BUS=" ^ bus)
      :: List.filter
           (fun v -> not (String.length v > 16 && String.sub v 0 16 = "LD_LIBRARY_PATH="))
           (Array.to_list (Unix.environment ())))
  in
  let echo = spawn_with_env "echo" env echo [] in
  let probe = spawn_with_env "probe" env wexprobe [ "^echoed (.*)" ] in
  wait_for "the probe to meet echo" (fun () ->
      has_line probe (fun l -> contains l "echo") || has_line echo (fun l -> contains l "met"));
  tell probe "echo hello";
  expect_line probe "[1] echo \"hello\"";
  tell probe "bye";
  expect_line probe "- echo left (127.0.0.1)";
  check "the probe ended with its input" (reap probe = Unix.WEXITED 0);
  check "echo left on bye" (reap echo = Unix.WEXITED 0)

let main programs =
  let wexagent =
    match Sys.getenv_opt "WEX_BIN_DIR" with
    | Some dir -> Filename.concat dir "wexagent"
    | None -> prerr_endline "real_world: WEX_BIN_DIR must name the bus library's bin/"; exit 2
  in
  Wex.init ~name:"real_world" (fun client event ->
      if event = Wex.Connected then Hashtbl.replace connected client ());
  case "a refused bus or pattern says why" refused_buses;
  case "sends before exit arrive" (fun () -> sending_before_exit wexagent (fresh_bus ()) "exit");
  case "sends before an uncaught exception arrive" (fun () ->
      sending_before_exit wexagent (fresh_bus ()) "raise");
  case "the delivery count, and a delivery too big" (fun () -> deliveries wexagent (fresh_bus ()));
  case "a secret admits its members only" (fun () -> secret_members wexagent (fresh_bus ()));
  case "a signal stops an idle agent" (fun () -> signal_stops_an_idle_agent (fresh_bus ()));
  case "threads run while the loop waits" threads_run_while_the_loop_waits;
  (match programs with
  | Some (echo, wexprobe) -> case "the README's probe session" (fun () -> readme_session echo wexprobe (fresh_bus ()))
  | None -> ());
  reap_all ();
  finish "real_world"

(* ---- The copies ---- *)

let sender mode bus =
  Wex.init ~name:"sender" (fun _ event ->
      if event = Wex.Connected then begin
        for i = 0 to 199 do Wex.sendf "n%d" i done;
        if mode = "exit" then exit 0 else failwith "nobody catches this"
      end);
  Wex.start ~bus ();
  Wex.main_loop ()

let idle bus =
  Sys.set_signal Sys.sigint (Sys.Signal_handle (fun _ -> Wex.stop ()));
  Wex.init ~name:"idle" (fun _ _ -> ());
  Wex.start ~bus ();
  (* Said from inside the loop, so that the signal finds it waiting. *)
  ignore (Wex.Timer.every ~count:1 ~ms:1 (fun _ -> print_endline "waiting"));
  Wex.main_loop ();
  print_endline "stopped"

let () =
  match Array.to_list Sys.argv with
  | [ _ ] -> main None
  | [ _; ("exit" | "raise") as mode; bus ] -> sender mode bus
  | [ _; "idle"; bus ] -> idle bus
  | [ _; echo; wexprobe ] -> main (Some (echo, wexprobe))
  | _ ->
      prerr_endline "usage: real_world [ECHO WEXPROBE | exit BUS | raise BUS | idle BUS]";
      exit 2
