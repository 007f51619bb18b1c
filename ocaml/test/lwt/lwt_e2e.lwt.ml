(* wex.lwt end-to-end: this program is an agent run from Lwt (Wex_lwt.run)
   on loopback buses of its own, with three chat agents (examples/
   lwt_chat.ml) and copies of itself in the modes at the bottom.  Child
   processes are the harness's, read through channels of the wex loop, which
   Wex_lwt.run runs here like everything else.

   Usage: lwt_e2e CHAT     (CHAT: the chat example's program)
          lwt_e2e replier BUS | idle BUS *)

open Harness
open Lwt.Syntax

let say fmt = Printf.printf (fmt ^^ "\n%!")

let contains text part =
  let n = String.length part in
  let rec from i = i + n <= String.length text && (String.sub text i n = part || from (i + 1)) in
  from 0

(* Lwt's way of Harness.wait_for: the condition is looked at every 10 ms,
   [timeout] seconds at most. *)
let waited what ?(timeout = 10.0) condition =
  let deadline = now () +. timeout in
  let rec go () =
    if condition () then Lwt.return_unit
    else if now () > deadline then begin
      fail "timed out waiting for %s" what;
      Lwt.return_unit
    end
    else
      let* () = Lwt_unix.sleep 0.01 in
      go ()
  in
  go ()

let expect_line child line =
  waited (Printf.sprintf "%s to print %S" child.label line) (fun () -> saw child line)

(* The peers this agent is connected to, by name. *)
let connected : (string, unit) Hashtbl.t = Hashtbl.create 4

(* A case on a bus of its own, in Lwt, with the wex loop run by
   Wex_lwt.run for the whole case: the loop ending first is a failure. *)
let lwt_case name body =
  case name (fun () ->
      let bus = fresh_bus () in
      (* Leaving a bus reports no departures. *)
      Hashtbl.reset connected;
      Wex.start ~bus ();
      let ended () =
        let+ () = Wex_lwt.run () in
        fail "Wex_lwt.run ended during the case"
      in
      Fun.protect
        ~finally:(fun () ->
          Wex.stop ();
          reap_all ();
          children := [])
        (fun () -> Lwt_main.run (Lwt.pick [ ended (); body bus ])))

(* ---- Three agents chat ---- *)

let chat program bus =
  let env = [| "WEX_BUS=" ^ bus |] in
  let alice = spawn ~env "alice" program [ "alice" ]
  and bob = spawn ~env "bob" program [ "bob" ]
  and carol = spawn ~env "carol" program [ "carol" ] in
  let agents = [ alice; bob; carol ] in
  let others a = List.filter (fun o -> o != a) agents in
  let everyone_else a line = Lwt_list.iter_s (fun o -> expect_line o line) (others a) in
  let* () =
    Lwt_list.iter_s
      (fun a -> Lwt_list.iter_s (fun o -> expect_line a ("* " ^ o.label ^ " joined")) (others a))
      agents
  in
  tell alice "hello from alice";
  let* () = everyone_else alice "alice: hello from alice" in
  tell bob "hi, bob here";
  let* () = everyone_else bob "bob: hi, bob here" in
  tell carol "/quit";
  let* () = everyone_else carol "* carol left" in
  check "carol left on /quit with status 0" (reap carol = Unix.WEXITED 0);
  (* The end of input leaves too. *)
  check "alice left at the end of input with status 0" (reap alice = Unix.WEXITED 0);
  let* () = expect_line bob "* alice left" in
  check "bob left with status 0" (reap bob = Unix.WEXITED 0);
  Lwt.return_unit

(* ---- Requests ---- *)

(* The replier (a copy of this program) drops the first "ask" it gets and
   answers the others, saying how many deliveries each answer made. *)
let start_replier bus =
  let replier = spawn "replier" Sys.executable_name [ "replier"; bus ] in
  let+ () = waited "the replier to connect" (fun () -> Hashtbl.mem connected "replier") in
  replier

let answer_line replier prefix =
  let line = ref "" in
  let+ () =
    waited ("the replier's " ^ prefix) (fun () ->
        has_line replier (fun l ->
            String.starts_with ~prefix l
            &&
            (line := l;
             true)))
  in
  !line

let timeout_and_retry bus =
  let* replier = start_replier bus in
  let attempts = ref 0 in
  let rec ask () =
    incr attempts;
    let sent = now () in
    Lwt.catch
      (fun () -> Wex_lwt.request ~timeout:1.0 "ask hello" "^answer (hello)$")
      (function
        | Wex_lwt.Timeout { message; pattern; seconds } as timeout when !attempts < 3 ->
            check "the timeout names the request"
              (message = "ask hello" && pattern = "^answer (hello)$" && seconds = 1.0);
            (* Not a measure of speed: a timeout in the wrong unit would
               come at once. *)
            check
              (Printf.sprintf "the timeout came after %.2f s, not long before 1 s" (now () -. sent))
              (now () -. sent >= 0.9);
            let text = Printexc.to_string timeout in
            check ("the timeout says what it waited for: " ^ text)
              (contains text "\"^answer (hello)$\"" && contains text "\"ask hello\"");
            ask ()
        | exn -> Lwt.fail exn)
  in
  let* texts = ask () in
  equal "the answer's captures" show_array [| "hello" |] texts;
  equal "attempts" string_of_int 2 !attempts;
  check "the replier dropped the first ask" (saw replier "dropped hello");
  (* One delivery: the subscription of the request that timed out is gone. *)
  let+ line = answer_line replier "answered hello" in
  equal "the answer's deliveries" Fun.id "answered hello 1" line

let pick_cancels bus =
  let* replier = start_replier bus in
  (* The replier drops this one, its first. *)
  let pending = Wex_lwt.request ~timeout:30.0 "ask late" "^answer (late)$" in
  let* () = expect_line replier "dropped late" in
  let* texts = Lwt.pick [ pending; (let+ () = Lwt_unix.sleep 0.1 in [| "the sleep" |]) ] in
  equal "what Lwt.pick settled on" show_array [| "the sleep" |] texts;
  check "the request was cancelled" (Lwt.state pending = Lwt.Fail Lwt.Canceled);
  (* Its subscription is gone: the answer it waited for reaches nobody. *)
  ignore (Wex_lwt.send "ask late");
  let+ line = answer_line replier "answered late" in
  equal "the late answer's deliveries" Fun.id "answered late 0" line

(* ---- A callback's exception ---- *)

let callback_exception () =
  let later = ref false in
  ignore (Wex.Timer.every ~count:1 ~ms:5 (fun _ -> failwith "from a timer"));
  ignore (Wex.Timer.every ~count:1 ~ms:50 (fun _ -> later := true));
  let outcome () =
    Lwt.catch
      (fun () ->
        let+ () = Wex_lwt.run () in
        "fulfilled")
      (fun exn -> Lwt.return (Printexc.to_string exn))
  in
  let first = Lwt_main.run (outcome ()) in
  equal "the first run" Fun.id "Failure(\"from a timer\")" first;
  check "the later timer has not fired yet" (not !later);
  (* Nothing else was lost: run again goes on, and ends with nothing left. *)
  let second =
    Lwt_main.run
      (Lwt.pick [ outcome (); (let+ () = Lwt_unix.sleep 10.0 in "still pending after 10 s") ])
  in
  equal "the second run" Fun.id "fulfilled" second;
  check "the later timer fired" !later

(* ---- Idle, then leaving ---- *)

(* User and system CPU time of a process (a zombie's too), in seconds;
   /proc counts in USER_HZ, which is 100 on Linux. *)
let cpu_seconds pid =
  let ic = open_in (Printf.sprintf "/proc/%d/stat" pid) in
  let line = Fun.protect ~finally:(fun () -> close_in ic) (fun () -> input_line ic) in
  (* The fields after the command name, which is in parentheses: the state
     is field 3, utime and stime fields 14 and 15. *)
  let after = String.rindex line ')' + 2 in
  let fields = String.split_on_char ' ' (String.sub line after (String.length line - after)) in
  (float_of_string (List.nth fields 11) +. float_of_string (List.nth fields 12)) /. 100.

(* A spinning loop would take a whole CPU; this bound only proves that it
   does not.  The figures are printed. *)
let not_spinning = 0.25

let idle_then_leave bus =
  let idle = spawn "idle" Sys.executable_name [ "idle"; bus ] in
  let* () = waited "the idle agent to connect" (fun () -> Hashtbl.mem connected "idle") in
  let* () = expect_line idle "waiting" in
  let before = cpu_seconds idle.pid and since = now () in
  let* () = Lwt_unix.sleep 5.0 in
  let cpu = cpu_seconds idle.pid -. before and span = now () -. since in
  say "     (idle agent on a bus with one peer: %.2f s of CPU in %.1f s, %.2f%% of a CPU)" cpu span
    (100. *. cpu /. span);
  check "the idle agent does not spin" (cpu < not_spinning *. span);
  tell idle "quit";
  let* () =
    waited "the idle agent to say goodbye" (fun () -> not (Hashtbl.mem connected "idle"))
  in
  let* () = expect_line idle "left" in
  let before = cpu_seconds idle.pid and since = now () in
  let* () = expect_line idle "done" in
  let cpu = cpu_seconds idle.pid -. before and span = now () -. since in
  say "     (after Wex_lwt.run: %.2f s of CPU in %.1f s of Lwt_unix.sleep, %.2f%%)" cpu span
    (100. *. cpu /. span);
  check "nothing spins once run is over" (cpu < not_spinning *. span);
  check "the idle agent exited with 0" (reap ~timeout:5.0 idle = Unix.WEXITED 0);
  Lwt.return_unit

let main chat_program =
  Wex.init ~name:"lwt_e2e" (fun peer -> function
    | Wex.Connected -> Hashtbl.replace connected (Wex.name_of peer) ()
    | Wex.Disconnected -> Hashtbl.remove connected (Wex.name_of peer)
    | Wex.Unknown_event _ -> ());
  lwt_case "three agents chat from Lwt" (chat chat_program);
  lwt_case "a request times out, and its retry is answered" timeout_and_retry;
  lwt_case "Lwt.pick cancels a request, and its subscription goes" pick_cancels;
  case "a callback's exception rejects run, and run goes on" callback_exception;
  lwt_case "an idle agent takes no CPU, and nothing spins after run" idle_then_leave;
  finish "lwt_e2e"

(* ---- The copies ---- *)

(* Both leave at their first line of input, or its end. *)
let leave_when_told () =
  Lwt.async (fun () ->
      let+ _ = Lwt_io.read_line_opt Lwt_io.stdin in
      Wex_lwt.stop ())

let replier bus =
  Wex.init ~name:"replier" (fun _ _ -> ());
  let asks, _ = Wex_lwt.bind "^ask (.*)$" in
  Wex.start ~bus ();
  let first = ref true in
  Lwt.async (fun () ->
      Lwt_stream.iter
        (fun { Wex_lwt.texts; _ } ->
          if !first then begin
            first := false;
            say "dropped %s" texts.(0)
          end
          else say "answered %s %d" texts.(0) (Wex_lwt.send ("answer " ^ texts.(0))))
        asks);
  leave_when_told ();
  Lwt_main.run (Wex_lwt.run ())

let idle bus =
  Wex.init ~name:"idle" (fun _ _ -> ());
  let _ = Wex_lwt.bind "^never$" in
  Wex.start ~bus ();
  leave_when_told ();
  say "waiting";
  Lwt_main.run (Wex_lwt.run ());
  say "left";
  (* A timer for a later run makes the loop's descriptor readable: nothing
     of the run that ended may be watching it. *)
  ignore (Wex.Timer.every ~count:1 ~ms:60_000 ignore);
  Lwt_main.run (Lwt_unix.sleep 2.0);
  say "done"

let () =
  match Array.to_list Sys.argv with
  | [ _; "replier"; bus ] -> replier bus
  | [ _; "idle"; bus ] -> idle bus
  | [ _; chat_program ] ->
      (* dune names a program of this directory without a directory. *)
      main
        (if Filename.is_implicit chat_program then
           Filename.concat Filename.current_dir_name chat_program
         else chat_program)
  | _ ->
      prerr_endline "usage: lwt_e2e CHAT | lwt_e2e replier BUS | lwt_e2e idle BUS";
      exit 2
