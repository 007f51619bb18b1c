(* Announces the time every second: "time 21:05:09".  With a number N on the
   command line it leaves after N announcements: a timer with a count ends
   by itself, and is no longer active during its last expiry. *)
let announce timer =
  let now = Unix.localtime (Unix.time ()) in
  Wex.sendf "time %02d:%02d:%02d" now.tm_hour now.tm_min now.tm_sec;
  if not (Wex.Timer.active timer) then Wex.stop ()

let () =
  let count =
    match Array.map int_of_string_opt Sys.argv with
    | [| _ |] -> None
    | [| _; Some n |] when n > 0 -> Some n
    | _ ->
        prerr_endline "usage: clock [ANNOUNCEMENTS]";
        exit 2
  in
  Wex.init ~name:"clock" ~ready:"clock ticking" (fun _ _ -> ());
  Wex.start ();
  let _ = Wex.Timer.every ?count ~ms:1000 announce in
  Wex.main_loop ()
