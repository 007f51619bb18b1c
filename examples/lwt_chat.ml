(* examples/lwt_chat.ml: a chat agent run from Lwt.  Each line typed is said
   to everyone on the bus ("chat TEXT"), what the others say is printed with
   their names, and so are arrivals and departures; "/quit" or the end of
   input leaves.  Start a few, each with a name of its own:
   lwt_chat.exe alice *)
open Lwt.Syntax

let say fmt = Printf.printf (fmt ^^ "\n%!")

let rec chat () =
  let* line = Lwt_io.read_line_opt Lwt_io.stdin in
  match line with
  | None | Some "/quit" ->
      (* Leaves the bus, which ends Wex_lwt.run below. *)
      Wex_lwt.stop ();
      Lwt.return_unit
  | Some "" -> chat ()
  | Some text ->
      if Wex_lwt.send ("chat " ^ text) = 0 then say "(nobody heard that)";
      chat ()

let () =
  let name = if Array.length Sys.argv > 1 then Sys.argv.(1) else "chat" in
  Wex.init ~name (fun peer -> function
    | Wex.Connected -> say "* %s joined" (Wex.name_of peer)
    | Wex.Disconnected -> say "* %s left" (Wex.name_of peer)
    | Wex.Unknown_event _ -> ());
  let said, _ = Wex_lwt.bind "^chat (.*)$" in
  Wex.start ();
  Lwt.async (fun () ->
      Lwt_stream.iter (fun { Wex_lwt.name; texts; _ } -> say "%s: %s" name texts.(0)) said);
  Lwt.async chat;
  (* The program lives as long as the agent is on the bus. *)
  Lwt_main.run (Wex_lwt.run ())
