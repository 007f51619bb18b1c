(* The chat agent where Lwt is not installed: lwt_e2e does not run it. *)
let () =
  prerr_endline "chat: built without Lwt";
  exit 2
