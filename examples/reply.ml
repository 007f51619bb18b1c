(* The answering half of a request and its reply: "sum 2 3" gets
   "sum 2 3 = 5" back.  A request is answered to everyone who listens: the
   sender recognises its answer by the question it repeats. *)
let () =
  Wex.init ~name:"reply" (fun _ _ -> ());
  let _ =
    Wex.bind "^sum (-?[0-9]{1,9}) (-?[0-9]{1,9})$" (fun peer texts ->
        let a = int_of_string texts.(0) and b = int_of_string texts.(1) in
        Printf.printf "reply: %s asks for %d + %d\n%!" (Wex.name_of peer) a b;
        Wex.sendf "sum %d %d = %d" a b (a + b))
  in
  let _ = Wex.bind "^bye$" (fun _ _ -> Wex.stop ()) in
  Wex.start ();
  Wex.main_loop ()
