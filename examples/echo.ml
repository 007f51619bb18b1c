(* The smallest useful agent: answers "echo TEXT" with "echoed TEXT" and
   leaves the bus when someone says "bye". *)
let () =
  Wex.init ~name:"echo" (fun peer event ->
      if event = Wex.Connected then print_endline ("echo: met " ^ Wex.name_of peer));
  let _ = Wex.bind "^echo (.*)" (fun _ texts -> Wex.sendf "echoed %s" texts.(0)) in
  let _ = Wex.bind "^bye$" (fun _ _ -> Wex.stop ()) in
  Wex.start ();
  Wex.main_loop ()
