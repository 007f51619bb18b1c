(* Nanoseconds per crossing of the stub library, beside the baselines of the
   same run.  Each figure is the best of five timed runs of a count calibrated
   to take at least 0.1 s. *)

module S = Stubs_bench_support
open Ctypes

let best_ns_per_call run =
  let time n =
    let start = S.now () in
    run n;
    S.now () -. start
  in
  let rec calibrate n = if n >= 1 lsl 26 || time n >= 1e8 then n else calibrate (n * 2) in
  let n = calibrate 1000 in
  let best = ref infinity in
  for _ = 1 to 5 do
    best := min !best (time n /. Float.of_int n)
  done;
  !best

let sink = ref [||]
let on_message (_ : int) texts = sink := texts

let () =
  let mode = match Sys.backend_type with Native -> "native" | _ -> "bytecode" in
  Callback.register "bench-app" (fun (_ : int) (_ : int) -> ());
  Callback.register "bench-message" on_message;
  Wex_raw.wex_init "stubs_bench" "" "bench-app";
  Wex_raw.wex_start (Check.fresh_bus ());
  let message = "bench message of 32 bytes ......" in
  let bus = Dl.dlopen ~filename:"libwex.so.3" ~flags:[ Dl.RTLD_NOW ] in
  let ctypes_send =
    Foreign.foreign ~from:bus "WexSendMsg" (string @-> string @-> returning int)
  in
  let ctypes_nothing =
    coerce (ptr void) (Foreign.funptr (string @-> returning void))
      (ptr_of_raw_address (Int64.to_nativeint (S.nothing_address ())))
  in
  let callback_type =
    ptr void @-> ptr void @-> int @-> ptr string @-> returning void
  in
  let ctypes_callback _client _user_data count texts =
    on_message 0 (Array.init count (fun i -> !@(texts +@ i)))
  in
  let ctypes_pointer =
    raw_address_of_ptr (coerce (Foreign.funptr callback_type) (ptr void) ctypes_callback)
  in
  let repeat f n = for _ = 1 to n do f () done in
  let empty = best_ns_per_call (repeat (fun () -> S.empty message)) in
  let ctypes_empty = best_ns_per_call (repeat (fun () -> ctypes_nothing message)) in
  let send = best_ns_per_call (repeat (fun () -> Wex_raw.wex_sendMsg message)) in
  let ctypes_sent =
    best_ns_per_call (repeat (fun () -> ignore (ctypes_send "%s" message)))
  in
  let minimal = best_ns_per_call (S.minimal "bench-message") in
  let deliver = best_ns_per_call (S.deliver "bench-message") in
  let ctypes_delivered =
    best_ns_per_call (S.call_pointer (Int64.of_nativeint ctypes_pointer))
  in
  Wex_raw.wex_stop ();
  Printf.printf "stubs, %s, ns per call:\n" mode;
  Printf.printf "  empty external (one string)        %8.1f\n" empty;
  Printf.printf "  empty C function through ctypes     %8.1f  %5.2fx empty external\n"
    ctypes_empty (ctypes_empty /. empty);
  Printf.printf "  wex_sendMsg, no peers              %8.1f  %5.2fx empty external\n" send
    (send /. empty);
  Printf.printf "  WexSendMsg through ctypes          %8.1f  %5.2fx wex_sendMsg\n" ctypes_sent
    (ctypes_sent /. send);
  Printf.printf "  minimal copy-and-callback, 3 texts %8.1f\n" minimal;
  Printf.printf "  ClosureCallback, 3 texts           %8.1f  %5.2fx minimal (target <= 1.2)\n"
    deliver (deliver /. minimal);
  Printf.printf "  ctypes callback, 3 texts           %8.1f  %5.2fx minimal\n%!"
    ctypes_delivered (ctypes_delivered /. minimal)
