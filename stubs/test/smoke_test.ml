(* The stubs on the real bus library: this agent meets a C++ agent on a
   loopback bus, hears its message, answers from a timer, and stops the loop
   once the C++ agent has left, having seen the answer.  A channel on a pipe
   shows the loop serving descriptors too.  Every wait is bounded by the
   timer's tick count. *)

open Wex_raw

let bus = Sys.argv.(1)
let peer = ref None
let peer_left = ref None
let heard = ref None
let answered = ref false
let read_byte = ref false
let ticks = ref 0

let () =
  Callback.register "smoke-app" (fun client code ->
      let seen = (client, wex_name_of_client client, wex_host_of_client client) in
      if code = 0 then peer := Some seen else if code = 1 then peer_left := Some seen);
  Callback.register "smoke-message" (fun client texts ->
      heard := Some (wex_name_of_client client, texts));
  Callback.register "smoke-tick" (fun timer ->
      incr ticks;
      if !heard <> None && not !answered then begin
        wex_sendMsg "from ocaml: %s 100%";
        answered := true
      end;
      if !peer_left <> None || !ticks >= 500 then begin
        wex_timerRemove timer;
        wex_stop ()
      end);
  let pipe_out, pipe_in = Unix.pipe () in
  Callback.register "smoke-read" (fun channel ->
      read_byte := Unix.read pipe_out (Bytes.create 1) 0 1 = 1;
      wex_channelClose channel);
  wex_init "stubs_smoke" "" "smoke-app";
  let binding = wex_bindMsg "smoke-message" "^from agent: (\\S+) (.*)$" in
  wex_start bus;
  ignore (wex_timerRepeatafter 0 20 "smoke-tick");
  ignore (Unix.write_substring pipe_in "x" 0 1);
  let channel = wex_channelSetUp (Obj.magic pipe_out : int) "smoke-read" in
  wex_mainLoop ();
  let open Check in
  check "a binding and a channel were made" (binding <> 0 && channel <> 0);
  check "the channel's closure read the pipe" !read_byte;
  (match (!peer, !peer_left) with
   | Some (client, name, host), Some (gone, name_when_gone, _) ->
     check "the C++ agent connected with its name and host"
       (name = "cxxagent" && host = "127.0.0.1");
     check "it left under the same handle and name" (gone = client && name_when_gone = "cxxagent")
   | _ -> check "the C++ agent came and went" false);
  check "its message was heard with both captures"
    (!heard = Some ("cxxagent", [| "hello"; "100% %d" |]));
  check "the answer was sent before the loop stopped" !answered;
  Printf.printf "%d ticks\n" !ticks;
  finish Sys.executable_name
