(* The roles of bench/bus_bench.cpp, message for message, written with the
   typed library: the same payload, patterns and batching, so that an OCaml
   pair and a C++ pair measure the same work and their ratio is the cost of
   the OCaml layers (stubs, closure call, string array). *)

let payload = "0123456789abcdef0123456789abcdef" (* 32 bytes *)
let now = Unix.gettimeofday

let count_arg text =
  match int_of_string_opt text with
  | Some n when n > 0 -> n
  | _ ->
      Printf.eprintf "ocaml_bench: %S is not a positive count\n" text;
      exit 2

(* Answers every ping with a pong carrying the same text. *)
let echo () =
  Wex.init ~name:"echo" (fun _ _ -> ());
  ignore (Wex.bind "^ping (.*)$" (fun _ texts -> ignore (Wex.send ("pong " ^ texts.(0)))))

(* Times [target] round trips once the echo is met. *)
let rtt target =
  let seen = ref 0 and started = ref 0.0 in
  let ping = "ping " ^ payload in
  Wex.init ~name:"rtt" (fun _ event ->
      if event = Wex.Connected then begin
        started := now ();
        ignore (Wex.send ping)
      end);
  ignore
    (Wex.bind "^pong (.*)$" (fun _ _ ->
         incr seen;
         if !seen = target then begin
           Printf.printf "bus round trip: %.2f us\n%!"
             ((now () -. !started) /. float target *. 1e6);
           Wex.stop ()
         end
         else ignore (Wex.send ping)))

let sink target =
  let seen = ref 0 and started = ref 0.0 in
  Wex.init ~name:"sink" (fun _ _ -> ());
  ignore
    (Wex.bind "^(0123.*)$" (fun _ _ ->
         if !seen = 0 then started := now ();
         incr seen;
         if !seen = target then begin
           Printf.printf "bus one-way: %.2f M msg/s\n%!"
             (float (target - 1) /. (now () -. !started) /. 1e6);
           Wex.stop ()
         end))

(* Sends in batches from an idle timer, as the C++ source does, so that the
   loop still reads and writes between batches: a first batch of up to
   100000, then 2000 at a time. *)
let source target =
  let go = ref false and sent = ref 0 in
  Wex.init ~name:"source" (fun _ -> function
    | Wex.Connected -> go := true
    | Wex.Disconnected -> Wex.stop ()
    | Wex.Unknown_event _ -> ());
  ignore
    (Wex.Timer.every ~ms:0 (fun timer ->
         if !go then begin
           let batch = min (if !sent = 0 then 100_000 else 2000) (target - !sent) in
           for _ = 1 to batch do
             ignore (Wex.send payload)
           done;
           sent := !sent + batch;
           if !sent >= target then Wex.Timer.remove timer
         end))

let () =
  match Array.to_list Sys.argv with
  | [ _; role; bus ] | [ _; role; bus; _ ] as args ->
      let count = match args with [ _; _; _; n ] -> count_arg n | _ -> 1 in
      (match role with
      | "echo" -> echo ()
      | "rtt" -> rtt count
      | "sink" -> sink count
      | "source" -> source count
      | _ ->
          Printf.eprintf "ocaml_bench: unknown role %S (try --help)\n" role;
          exit 2);
      Wex.start ~bus ();
      Wex.main_loop ()
  | [ _; ("-h" | "--help") ] ->
      print_endline "usage: ocaml_bench echo BUS | rtt BUS COUNT | sink BUS COUNT | source BUS COUNT"
  | _ ->
      prerr_endline "usage: ocaml_bench echo BUS | rtt BUS COUNT | sink BUS COUNT | source BUS COUNT";
      exit 2
