(* wexprobe: a person's (or a script's) window on a bus.  Everything happens
   in the bus loop: standard input is a channel like any other, so lines are
   sent and commands run between deliveries, in the order they come. *)

open Cmdliner

let say fmt = Printf.printf (fmt ^^ "\n%!")

(* Peers as they were when they joined, so that .who and the line for a peer
   that leaves need not ask the bus library about a peer on its way out. *)
let peers : (Wex.client, string * string) Hashtbl.t = Hashtbl.create 16

(* Subscriptions by the number shown to the user. *)
let bindings : (int, Wex.binding * string) Hashtbl.t = Hashtbl.create 16
let last_number = ref 0

let on_event client = function
  | Wex.Connected ->
      let name = Wex.name_of client and host = Wex.host_of client in
      Hashtbl.replace peers client (name, host);
      say "+ %s joined from %s" name host
  | Wex.Disconnected ->
      let name, host =
        match Hashtbl.find_opt peers client with
        | Some peer -> peer
        | None -> (Wex.name_of client, Wex.host_of client)
      in
      Hashtbl.remove peers client;
      say "- %s left (%s)" name host
  | Wex.Unknown_event code ->
      say "? event %d from %s" code (Wex.name_of client)

let bind pattern =
  let number = !last_number + 1 in
  let binding =
    Wex.bind pattern (fun client texts ->
        print_endline (Probe_text.delivery number (Wex.name_of client) texts);
        flush stdout)
  in
  last_number := number;
  Hashtbl.replace bindings number (binding, pattern);
  number

let who () =
  let all =
    Hashtbl.fold (fun _ peer acc -> peer :: acc) peers [] |> List.sort compare
  in
  say "= %d peer%s" (List.length all) (if List.length all = 1 then "" else "s");
  List.iter (fun (name, host) -> say "=   %s on %s" name host) all

let leave linger =
  if linger <= 0 then Wex.stop ()
  else ignore (Wex.Timer.every ~count:1 ~ms:linger (fun _ -> Wex.stop ()))

let run_line line =
  match Probe_command.parse line with
  | Probe_command.Nothing -> ()
  | Send message -> (
      try ignore (Wex.send message) with Invalid_argument reason -> say "! %s" reason)
  | Who -> who ()
  | Bind pattern -> (
      match bind pattern with
      | number -> say "* [%d] bound to %s" number (Probe_text.quote pattern)
      | exception Invalid_argument _ ->
          say "! invalid pattern %s" (Probe_text.quote pattern))
  | Unbind number -> (
      match Hashtbl.find_opt bindings number with
      | Some (binding, pattern) ->
          Wex.unbind binding;
          Hashtbl.remove bindings number;
          say "* [%d] unbound from %s" number (Probe_text.quote pattern)
      | None -> say "! no pattern number %d" number)
  | Quit -> Wex.stop ()
  | Help -> print_endline Probe_command.help; flush stdout
  | Bad reason -> say "! %s" reason

let watch_input linger =
  let input = Probe_input.create () and chunk = Bytes.create 65536 in
  let finished = ref false in
  ignore
    (Wex.Channel.watch Unix.stdin (fun channel ->
         let n =
           try Unix.read Unix.stdin chunk 0 (Bytes.length chunk)
           with Unix.Unix_error ((Unix.EAGAIN | Unix.EINTR), _, _) -> -1
         in
         if n = 0 && not !finished then begin
           finished := true;
           Wex.Channel.remove channel;
           Option.iter run_line (Probe_input.finish input);
           leave linger
         end
         else if n > 0 then
           List.iter run_line (Probe_input.feed input chunk 0 n)))

let probe bus name patterns delay linger =
  try
    (* A closed standard input would be taken over by the first socket the
       agent opens, and the probe would read its own bus. *)
    (try ignore (Unix.fstat Unix.stdin)
     with Unix.Unix_error _ -> failwith "standard input is closed");
    Wex.init ~name on_event;
    List.iter (fun pattern -> ignore (bind pattern)) patterns;
    Wex.start ?bus ();
    if Unix.isatty Unix.stdin then
      Printf.eprintf
        "wexprobe: on the bus as %s; type a message to send it, .help for \
         commands, Ctrl-D to leave\n%!"
        name;
    if delay <= 0 then watch_input linger
    else ignore (Wex.Timer.every ~count:1 ~ms:delay (fun _ -> watch_input linger));
    Wex.main_loop ();
    0
  with
  | Invalid_argument reason | Failure reason ->
      (* The library's messages start with the function's name, which means
         nothing to someone at the command line. *)
      let reason =
        match String.index_opt reason ':' with
        | Some i when String.length reason > i + 2 && String.sub reason 0 4 = "Wex." ->
            String.sub reason (i + 2) (String.length reason - i - 2)
        | _ -> reason
      in
      Printf.eprintf "wexprobe: %s\n%!" reason;
      2
  | Unix.Unix_error (error, call, _) ->
      Printf.eprintf "wexprobe: %s: %s\n%!" call (Unix.error_message error);
      1
  | Sys_error reason ->
      Printf.eprintf "wexprobe: %s\n%!" reason;
      1

let bus =
  let doc =
    "Join the bus $(docv), written [ADDRESS][:PORT]: an IPv4 broadcast \
     address (127.255.255.255 is this host only) or a multicast group, and a \
     UDP port; or nats://HOST[:PORT][,HOST[:PORT]...][/BUSNAME] for a bus \
     carried by NATS servers.  Default: \\$WEX_BUS, else \
     127.255.255.255:3110."
  in
  Arg.(value & opt (some string) None & info [ "b"; "bus" ] ~docv:"BUS" ~doc)

let agent_name =
  let doc = "Name this agent $(docv) on the bus." in
  Arg.(value & opt string "wexprobe" & info [ "n"; "name" ] ~docv:"NAME" ~doc)

let patterns =
  let doc =
    "Print every message that $(docv) matches (a regular expression, RE2 \
     syntax), with the texts its groups captured.  May be given many times."
  in
  Arg.(value & pos_all string [] & info [] ~docv:"PATTERN" ~doc)

let delay =
  let doc =
    "Wait $(docv) milliseconds before reading standard input, so that the \
     peers are met before the first line is sent."
  in
  Arg.(value & opt int 0 & info [ "d"; "delay" ] ~docv:"MS" ~doc)

let linger =
  let doc =
    "After the end of standard input, keep printing deliveries for $(docv) \
     milliseconds before leaving."
  in
  Arg.(value & opt int 0 & info [ "l"; "linger" ] ~docv:"MS" ~doc)

let indent text =
  String.concat "\n" (List.map (fun line -> "  " ^ line) (String.split_on_char '\n' text))

let command =
  let man =
    [
      `S Manpage.s_description;
      `P
        "$(tname) joins a bus as one more agent.  It prints each peer that \
         joins or leaves, with its name and host, and every message that \
         one of its patterns matches.  Each line of standard input is sent \
         as a message to the peers whose patterns match it; lines that start \
         with a dot are commands.  Standard input may be a terminal, a pipe \
         or a file; at its end $(tname) leaves the bus and exits.";
      `S "COMMANDS";
      `Pre (indent Probe_command.help);
      `S "OUTPUT";
      `P "One line per event, flushed at once; its first character says what it is:";
      `Pre
        (indent
           "+ NAME joined from HOST\n\
            - NAME left (HOST)\n\
            [N] SENDER \"TEXT\"...   a delivery of pattern number N\n\
            * ...                  a pattern bound or unbound\n\
            = ...                  the answer to .who\n\
            ! ...                  a command that failed, and why");
      `P
        "Texts are quoted, with control characters, quotes and backslashes \
         escaped.";
      `S Manpage.s_examples;
      `Pre
        (indent
           "wexprobe '^time (.*)'\n\
            (echo .who; echo 'echo hello') | wexprobe -d 500 -l 1000 '^echoed (.*)'");
    ]
  in
  let exits =
    [
      Cmd.Exit.info 0 ~doc:"once the probe has left the bus.";
      Cmd.Exit.info 1 ~doc:"on a system error, such as standard output closed.";
      Cmd.Exit.info 2
        ~doc:"for a pattern that does not compile, a malformed bus or a closed standard input.";
      Cmd.Exit.info Cmd.Exit.cli_error ~doc:"on a bad command line.";
    ]
  in
  let doc = "see and talk to a wex bus" in
  Cmd.v
    (Cmd.info "wexprobe" ~doc ~man ~exits)
    Term.(const probe $ bus $ agent_name $ patterns $ delay $ linger)

let () = exit (Cmd.eval' command)
