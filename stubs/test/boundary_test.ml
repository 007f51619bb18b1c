(* The stub library against the recording double of the bus library: what each
   primitive hands the bus library, and what each callback hands OCaml.  Run in
   bytecode and native, and again with a 256-word minor heap; the closures
   allocate and compact so that a value left unrooted across a collection shows
   up as a crash or a wrong result. *)

open Wex_raw
open Check

let expect_log name expected =
  let got = Double.log () in
  check name (got = expected);
  if got <> expected then begin
    List.iter (Printf.printf "  expected: %s\n") expected;
    List.iter (Printf.printf "  got:      %s\n%!") got
  end

let contains text part =
  let n = String.length part in
  let rec from i =
    i + n <= String.length text && (String.sub text i n = part || from (i + 1))
  in
  from 0

(* Allocation and a full compaction, inside closures called from the loop. *)
let churn () =
  let garbage = List.init 500 (fun i -> String.make (i mod 40) 'g') in
  Gc.compact ();
  ignore (Sys.opaque_identity garbage)

let slot name = Double.hex (Double.slot_of name)
let hex = Double.hex

(* The primitive refuses an unregistered closure name, names itself and the
   name, hands nothing to the bus library and leaves the C heap as it was. *)
let check_unregistered primitive call =
  let before = Double.heap_in_use () in
  let outcome = try call (); None with Invalid_argument message -> Some message in
  let after = Double.heap_in_use () in
  (match outcome with
   | Some message ->
     check (primitive ^ " names itself and the closure")
       (contains message primitive && contains message "no-such-closure")
   | None -> check (primitive ^ " raises Invalid_argument") false);
  check (primitive ^ " leaks nothing when it refuses") (before = after);
  expect_log (primitive ^ " hands nothing to the bus library") []

let handles =
  [ 0x7ffffffff000L; 0x7fffffffffffL; 0x3fffffffffffffffL; 0xffff800000000000L;
    -16L; 0x10L; 0L ]

(* ---- Agent, sending and client queries ------------------------------- *)

let events = ref []

let test_agent () =
  Callback.register "app" (fun client code ->
      churn ();
      events := (client, code) :: !events);
  wex_init "agent %s" "ready %d 100%" "app";
  expect_log "wex_init hands over both texts, app_cb and the slot"
    [ Printf.sprintf "WexInit name=\"agent %%s\" ready=\"ready %%d 100%%\" cb=app_cb ud=%s r1=0x0 r2=0x0"
        (slot "app") ];
  let name = Bytes.of_string "mutable-name" and ready = Bytes.of_string "mutable-ready" in
  wex_init (Bytes.unsafe_to_string name) (Bytes.unsafe_to_string ready) "app";
  Bytes.fill name 0 (Bytes.length name) 'Z';
  Bytes.fill ready 0 (Bytes.length ready) 'Z';
  churn ();
  check "the name copy survives mutation and compaction" (Double.held_name () = "mutable-name");
  check "the ready copy survives mutation and compaction" (Double.held_ready () = "mutable-ready");
  wex_init (String.init 9 (fun i -> "transient".[i])) (String.make 3 'r') "app";
  churn ();
  check "copies outlive the collected strings"
    (Double.held_name () = "transient" && Double.held_ready () = "rrr");
  wex_init "na\000me" "" "app";
  check "a name is copied up to its NUL" (Double.held_name () = "na");
  check "an empty ready message is an empty text" (Double.held_ready () = "");
  ignore (Double.log ());
  check_unregistered "wex_init" (fun () -> wex_init "a" "b" "no-such-closure");
  wex_start "";
  wex_start "127.255.255.255:%s";
  wex_start "bus\000tail";
  wex_stop ();
  expect_log "wex_start and wex_stop"
    [ "WexStart \"\""; "WexStart \"127.255.255.255:%s\""; "WexStart \"bus\""; "WexStop" ];
  List.iter wex_sendMsg [ "%"; "%s"; "%d%n%%"; "100% sure"; ""; "ab\000cd" ];
  expect_log "messages reach the bus library unformatted, up to a NUL"
    [ "WexSendMsg \"%\""; "WexSendMsg \"%s\""; "WexSendMsg \"%d%n%%\"";
      "WexSendMsg \"100% sure\""; "WexSendMsg \"\""; "WexSendMsg \"ab\"" ]

let test_failed_copies () =
  let big = String.make (64 * 1024 * 1024) 'n' in
  let limited f =
    Double.limit_address_space (16 * 1024 * 1024);
    let outcome = try f (); false with Out_of_memory -> true in
    Double.unlimit_address_space ();
    outcome
  in
  check "a name that cannot be copied raises Out_of_memory"
    (limited (fun () -> wex_init big "ready" "app"));
  (* The first failing malloc leaves some bookkeeping of glibc's behind, so
     the leak is looked for in later rounds, where a lost copy would show. *)
  let name = String.make 1000 'm' in
  let round () =
    let before = Double.heap_in_use () in
    let raised = limited (fun () -> wex_init name big "app") in
    (raised, Double.heap_in_use () - before)
  in
  let rounds = List.init 3 (fun _ -> round ()) in
  check "a ready message that cannot be copied raises Out_of_memory"
    (List.for_all fst rounds);
  check "the name copy is freed when the ready copy fails"
    (List.for_all (fun (_, grown) -> grown = 0) (List.tl rounds));
  expect_log "a failed copy hands nothing to the bus library" []

let test_queries () =
  let client = 0x7ffffffff000L in
  let int_client = Int64.to_int client in
  Double.name_client client "peer-A" "10.0.0.1";
  let first = wex_name_of_client int_client and second = wex_name_of_client int_client in
  let host = wex_host_of_client int_client in
  check "the client's name" (first = "peer-A" && second = "peer-A");
  check "two queries give two strings" (first != second);
  check "the client's host" (host = "10.0.0.1");
  Double.name_client client "peer-B" "10.0.0.2";
  check "a name returned is a copy, not the bus library's text" (first = "peer-A" && host = "10.0.0.1");
  expect_log "queries hand the client's pointer"
    [ "WexGetApplicationName " ^ hex client; "WexGetApplicationName " ^ hex client;
      "WexGetApplicationHost " ^ hex client ];
  let stranger = Int64.to_int 0x7ffe12345670L in
  let name = wex_name_of_client stranger and again = wex_name_of_client stranger in
  check "a client without a name gets \"\"" (name = "" && wex_host_of_client stranger = "");
  check "each \"\" is fresh" (name != again);
  ignore (Double.log ())

let test_app_events () =
  events := [];
  List.iter (fun client -> Double.queue_app client 7) handles;
  List.iter (fun code -> Double.queue_app 0x7ffffffff000L code) [ 0; 0xFFFFFFFF; 0x80000000 ];
  wex_mainLoop ();
  let got = List.rev !events in
  check "app_cb gives the client first, the code second, handles exact"
    (List.filteri (fun i _ -> i < List.length handles) got
     = List.map (fun client -> (Int64.to_int client, 7)) handles);
  check "event codes are unsigned 32-bit"
    (List.filteri (fun i _ -> i >= List.length handles) got
     = List.map (fun code -> (0x7ffffffff000, code)) [ 0; 0xFFFFFFFF; 0x80000000 ]);
  List.iter (fun (client, _) -> ignore (wex_host_of_client client)) got;
  expect_log "a client handed back reaches the bus library as the same pointer"
    ("WexMainLoop"
     :: List.map (fun client -> "WexGetApplicationHost " ^ hex client)
          (handles @ [ 0x7ffffffff000L; 0x7ffffffff000L; 0x7ffffffff000L ]))

(* ---- Message bindings ------------------------------------------------ *)

let deliveries = ref []
let on_message tag client texts =
  churn ();
  deliveries := (tag, client, texts) :: !deliveries

let bind pattern handle =
  Double.next_handle handle;
  wex_bindMsg "msg" pattern

let test_bind () =
  Callback.register "msg" (on_message "first");
  List.iter
    (fun handle ->
      let binding = bind "x" handle in
      check ("binding handle " ^ hex handle) (binding = Int64.to_int handle);
      wex_unbindMsg binding)
    handles;
  expect_log "bindings round-trip exactly"
    (List.concat_map
       (fun handle ->
         [ Printf.sprintf "WexBindMsg cb=ClosureCallback ud=%s pattern=\"x\" -> %s" (slot "msg") (hex handle);
           "WexUnbindMsg " ^ hex handle ])
       handles);
  ignore (bind "^(%s) (%d)% (.*)$" 0x7f0000000010L);
  ignore (bind "" 0x7f0000000020L);
  ignore (bind "a\000b" 0x7f0000000030L);
  let ud = slot "msg" in
  expect_log "patterns reach the bus library unformatted, up to a NUL"
    [ Printf.sprintf "WexBindMsg cb=ClosureCallback ud=%s pattern=\"^(%%s) (%%d)%% (.*)$\" -> 0x00007f0000000010" ud;
      Printf.sprintf "WexBindMsg cb=ClosureCallback ud=%s pattern=\"\" -> 0x00007f0000000020" ud;
      Printf.sprintf "WexBindMsg cb=ClosureCallback ud=%s pattern=\"a\" -> 0x00007f0000000030" ud ];
  check_unregistered "wex_bindMsg" (fun () -> ignore (wex_bindMsg "no-such-closure" "x"))

let numbered n = Array.init n string_of_int

let test_messages () =
  Callback.register "msg" (on_message "first");
  let binding = 0x7f0000000100L and client = 0xffff800000000000L in
  ignore (bind "p" binding);
  deliveries := [];
  let queue count texts = Double.queue_message binding client count texts in
  queue 3 [| Some "one"; Some "two"; Some "three" |];
  queue 2 [| Some ""; Some "x" |];
  queue 0 [| Some "unseen" |];
  queue 3 [| Some "a"; None; Some "c" |];
  queue (-4) [| Some "a" |];
  queue 64 [||];
  queue 65 [||];
  queue 1000 [| Some "given" |];
  wex_mainLoop ();
  let got = List.rev !deliveries in
  let arrays = List.map (fun (_, _, texts) -> texts) got in
  check "every delivery gives the client first"
    (List.for_all (fun (_, c, _) -> c = Int64.to_int client) got);
  check "texts arrive in order, copied past the callback"
    (List.nth arrays 0 = [| "one"; "two"; "three" |]);
  check "empty texts stay empty" (List.nth arrays 1 = [| ""; "x" |]);
  check "a count of 0 is an empty array" (List.nth arrays 2 = [||]);
  check "a null entry ends the array" (List.nth arrays 3 = [| "a" |]);
  check "a negative count is an empty array" (List.nth arrays 4 = [||]);
  check "64 texts" (List.nth arrays 5 = numbered 64);
  check "65 texts" (List.nth arrays 6 = numbered 65);
  let thousand = numbered 1000 in
  thousand.(0) <- "given";
  check "1000 texts" (List.nth arrays 7 = thousand);
  check "nothing else was delivered" (List.length got = 8);
  ignore (Double.log ())

let test_two_million () =
  let binding = 0x7f0000000200L in
  ignore (bind "many" binding);
  deliveries := [];
  Double.queue_message binding 0x10L 2_000_000 [| Some "first" |];
  wex_mainLoop ();
  (match !deliveries with
   | [ (_, client, texts) ] ->
     check "two million texts, none lost"
       (client = 0x10 && Array.length texts = 2_000_000 && texts.(0) = "first"
        && texts.(1) = "1" && texts.(1_234_567) = "1234567" && texts.(1_999_999) = "1999999")
   | _ -> check "two million texts delivered once" false);
  deliveries := [];
  ignore (Double.log ())

let test_reregistered () =
  Callback.register "msg" (fun client texts ->
      on_message "first" client texts;
      Callback.register "msg" (on_message "second"));
  let one = 0x7f0000000300L and two = 0x7f0000000310L in
  ignore (bind "one" one);
  ignore (bind "two" two);
  deliveries := [];
  Double.queue_message one 0x20L 1 [| Some "a" |];
  Double.queue_message two 0x20L 1 [| Some "b" |];
  Double.queue_message one 0x20L 1 [| Some "c" |];
  wex_mainLoop ();
  check "a re-registered name serves every binding made with it"
    (List.rev_map (fun (tag, _, texts) -> (tag, texts)) !deliveries
     = [ ("first", [| "a" |]); ("second", [| "b" |]); ("second", [| "c" |]) ]);
  ignore (Double.log ())

(* Each delivery re-registers the name with a fresh, still young closure, and
   the next delivery's array is too large for the minor heap: the closure
   moves while the array is made, and only a slot read after that finds it. *)
let test_moved_closure () =
  let binding = 0x7f0000000400L in
  ignore (bind "moving" binding);
  let calls = ref [] in
  let rec closure k _client texts =
    calls := (k, Array.length texts) :: !calls;
    Callback.register "msg" (closure (k + 1))
  in
  for _ = 1 to 4 do
    Double.queue_message binding 0x40L 300_000 [||]
  done;
  Callback.register "msg" (closure 0);
  wex_mainLoop ();
  check "a closure moved while the array is made is still the one called"
    (List.rev !calls = List.init 4 (fun k -> (k, 300_000)));
  ignore (Double.log ())

(* ---- Timers ----------------------------------------------------------- *)

let ticks = ref []

let test_timers () =
  Callback.register "tick" (fun timer -> churn (); ticks := ("first", timer) :: !ticks);
  let ud = slot "tick" in
  List.iter
    (fun handle ->
      Double.next_handle handle;
      let timer = wex_timerRepeatafter 3 100 "tick" in
      check ("timer handle " ^ hex handle) (timer = Int64.to_int handle);
      ticks := [];
      Double.queue_timer handle 1L;
      Double.queue_timer handle (-1L);
      wex_mainLoop ();
      check ("each expiry gives the timer " ^ hex handle)
        (!ticks = [ ("first", timer); ("first", timer) ]);
      wex_timerRemove timer;
      expect_log ("timer " ^ hex handle)
        [ Printf.sprintf "TimerRepeatAfter count=3 period=100 cb=timer_cb ud=%s -> %s" ud (hex handle);
          "WexMainLoop"; "TimerRemove " ^ hex handle ])
    handles;
  let narrowed =
    [ (0, "0", "0"); (-5, "-5", "-5"); (1 lsl 31, "-2147483648", "-2147483648");
      (-1, "-1", "-1"); ((1 lsl 32) + 5, "5", "5"); ((1 lsl 31) - 1, "2147483647", "2147483647");
      ((1 lsl 32) + (1 lsl 31), "-2147483648", "-2147483648"); (max_int, "-1", "-1");
      (min_int, "0", "0") ]
  in
  List.iter
    (fun (n, count, period) ->
      Double.next_handle 0x7f0000001000L;
      ignore (wex_timerRepeatafter n n "tick");
      expect_log (Printf.sprintf "count and period %d narrowed" n)
        [ Printf.sprintf "TimerRepeatAfter count=%s period=%s cb=timer_cb ud=%s -> 0x00007f0000001000"
            count period ud ])
    narrowed;
  Callback.register "tick" (fun timer -> ticks := ("second", timer) :: !ticks);
  Double.next_handle 0x7f0000002000L;
  let again = wex_timerRepeatafter 0 0 "tick" in
  ticks := [];
  Double.queue_timer 0x7f0000002000L 1L;
  wex_mainLoop ();
  check "a name reused after a remove calls what it now holds" (!ticks = [ ("second", again) ]);
  ignore (Double.log ());
  check_unregistered "wex_timerRepeatafter" (fun () ->
      ignore (wex_timerRepeatafter 1 1 "no-such-closure"))

(* ---- Channels --------------------------------------------------------- *)

let test_channels () =
  let reads = ref [] in
  Callback.register "read" (fun channel -> churn (); reads := channel :: !reads);
  let ud = slot "read" in
  let read_end, write_end = Unix.pipe () in
  let fd : int = Obj.magic read_end in
  List.iter
    (fun handle ->
      Double.next_handle handle;
      let channel = wex_channelSetUp fd "read" in
      check ("channel handle " ^ hex handle) (channel = Int64.to_int handle);
      reads := [];
      List.iter (fun kind -> Double.queue_channel kind handle) [ 0; 1; 2; 0 ];
      wex_mainLoop ();
      check ("reads give the channel, never the descriptor " ^ hex handle)
        (!reads = [ channel; channel ] && Double.queued () = 0);
      wex_channelClose channel;
      expect_log ("channel " ^ hex handle)
        [ Printf.sprintf
            "WexChannelAdd fd=%d ud=%s delete=cb_delete_channel read=cb_read_channel write=cb_write_channel -> %s"
            fd ud (hex handle);
          "WexMainLoop"; "WexChannelRemove " ^ hex handle ])
    handles;
  ignore (Unix.write_substring write_end "still open" 0 10);
  let buffer = Bytes.create 10 in
  check "closing a channel leaves the descriptor open"
    (Unix.read read_end buffer 0 10 = 10 && Bytes.to_string buffer = "still open");
  Unix.close read_end;
  Unix.close write_end;
  List.iter
    (fun (n, expected) ->
      Double.next_handle 0x7f0000003000L;
      ignore (wex_channelSetUp n "read");
      expect_log (Printf.sprintf "descriptor %d narrowed" n)
        [ Printf.sprintf
            "WexChannelAdd fd=%s ud=%s delete=cb_delete_channel read=cb_read_channel write=cb_write_channel -> 0x00007f0000003000"
            expected ud ])
    [ (1 lsl 31, "-2147483648"); (-1, "-1"); ((1 lsl 32) + 3, "3") ];
  check_unregistered "wex_channelSetUp" (fun () -> ignore (wex_channelSetUp 0 "no-such-closure"))

(* ---- Exceptions out of the loop --------------------------------------- *)

exception From of string

let test_exceptions () =
  let survivors = ref 0 in
  Callback.register "ok" (fun _ -> incr survivors);
  Double.next_handle 0x7f0000004000L;
  ignore (wex_timerRepeatafter 0 10 "ok");
  let raising kind queue_one =
    queue_one ();
    queue_one ();
    Double.queue_timer 0x7f0000004000L 1L;
    let leaves () = try wex_mainLoop (); false with From k -> k = kind in
    let first = leaves () in
    let left = Double.queued () in
    let second = leaves () in
    survivors := 0;
    wex_mainLoop ();
    check (kind ^ " closure raises out of wex_mainLoop, twice")
      (first && left = 2 && second && !survivors = 1)
  in
  Callback.register "app" (fun _ _ -> churn (); raise (From "app"));
  raising "app" (fun () -> Double.queue_app 0x30L 0);
  Callback.register "raise-msg" (fun _ _ -> churn (); raise (From "message"));
  Double.next_handle 0x7f0000004100L;
  ignore (wex_bindMsg "raise-msg" "r");
  raising "message" (fun () -> Double.queue_message 0x7f0000004100L 0x30L 3 [| Some "a"; Some "b"; Some "c" |]);
  raising "message with many texts" (fun () ->
      Callback.register "raise-msg" (fun _ _ -> raise (From "message with many texts"));
      Double.queue_message 0x7f0000004100L 0x30L 100 [||]);
  Callback.register "raise-tick" (fun _ -> churn (); raise (From "timer"));
  Double.next_handle 0x7f0000004200L;
  ignore (wex_timerRepeatafter 0 10 "raise-tick");
  raising "timer" (fun () -> Double.queue_timer 0x7f0000004200L 1L);
  Callback.register "raise-read" (fun _ -> churn (); raise (From "read"));
  Double.next_handle 0x7f0000004300L;
  ignore (wex_channelSetUp 0 "raise-read");
  raising "read" (fun () -> Double.queue_channel 0 0x7f0000004300L);
  ignore (Double.log ())

let () =
  test_agent ();
  test_failed_copies ();
  test_queries ();
  test_app_events ();
  test_bind ();
  test_messages ();
  test_two_million ();
  test_reregistered ();
  test_moved_closure ();
  test_timers ();
  test_channels ();
  test_exceptions ();
  finish Sys.executable_name
