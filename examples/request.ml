(* The asking half: waits for the agent named "reply", asks it for a sum,
   prints the answer and leaves.  A one-shot timer gives up after five
   seconds, so that this never waits for good. *)
let a, b = (2, 40)

let () =
  let status = ref 1 in
  Wex.init ~name:"request" (fun peer event ->
      if event = Wex.Connected && Wex.name_of peer = "reply" then
        Wex.sendf "sum %d %d" a b);
  let question = Printf.sprintf "^sum %d %d = (-?[0-9]+)$" a b in
  let _ =
    Wex.bind question (fun peer texts ->
        Printf.printf "request: %s says %d + %d = %s\n%!" (Wex.name_of peer) a b
          texts.(0);
        status := 0;
        Wex.stop ())
  in
  let _ =
    Wex.Timer.every ~count:1 ~ms:5000 (fun _ ->
        prerr_endline "request: no answer within 5 s";
        Wex.stop ())
  in
  Wex.start ();
  Wex.main_loop ();
  exit !status
