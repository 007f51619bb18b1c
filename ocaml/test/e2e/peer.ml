(* The second OCaml agent of the end-to-end cases: the same test program,
   started as "peer NAME BUS", driven line by line through its standard
   input and reporting on its standard output:

     bind PATTERN          -> "bound N"
     unbind N              -> "unbound N"
     send TEXT
     flood PREFIX COUNT    sends "PREFIX 1" .. "PREFIX COUNT" -> "flooded COUNT"
     expect PREFIX COUNT   checks that "PREFIX 1" .. "PREFIX COUNT" arrive,
                           each once and in order -> "in order PREFIX" or
                           "out of order PREFIX: I after J"
     stop                  leaves the bus and exits (end of input too)

   and on its own: "joined NAME HOST", "left NAME HOST", and
   "got N SENDER|TEXT1|TEXT2..." for each delivery of binding N. *)

let say fmt = Printf.printf (fmt ^^ "\n%!")
let bindings = Hashtbl.create 8
let last = ref 0

let expect prefix count =
  let next = ref 1 in
  let pattern = Printf.sprintf "^%s ([0-9]+)$" prefix in
  ignore
    (Wex.bind pattern (fun _ texts ->
         let n = int_of_string texts.(0) in
         if !next > 0 then
           if n <> !next then begin
             say "out of order %s: %d after %d" prefix n (!next - 1);
             next := 0
           end
           else if n = count then begin
             say "in order %s" prefix;
             next := 0
           end
           else incr next))

let command line =
  match String.index_opt line ' ' with
  | None when line = "stop" -> Wex.stop ()
  | None -> say "unknown %s" line
  | Some i -> (
      let verb = String.sub line 0 i
      and rest = String.sub line (i + 1) (String.length line - i - 1) in
      match (verb, String.split_on_char ' ' rest) with
      | "bind", _ ->
          incr last;
          let n = !last in
          let b =
            Wex.bind rest (fun client texts ->
                say "got %d %s" n
                  (String.concat "|" (Wex.name_of client :: Array.to_list texts)))
          in
          Hashtbl.replace bindings n b;
          say "bound %d" n
      | "unbind", [ n ] ->
          Wex.unbind (Hashtbl.find bindings (int_of_string n));
          say "unbound %s" n
      | "send", _ -> ignore (Wex.send rest)
      | "flood", [ prefix; count ] ->
          let count = int_of_string count in
          for i = 1 to count do
            Wex.sendf "%s %d" prefix i
          done;
          say "flooded %d" count
      | "expect", [ prefix; count ] ->
          expect prefix (int_of_string count);
          say "expecting %s" prefix
      | _ -> say "unknown %s" line)

let run name bus =
  Wex.init ~name (fun client -> function
    | Wex.Connected -> say "joined %s %s" (Wex.name_of client) (Wex.host_of client)
    | Wex.Disconnected -> say "left %s %s" (Wex.name_of client) (Wex.host_of client)
    | Wex.Unknown_event code -> say "event %d" code);
  Wex.start ~bus ();
  let input = Probe_input.create () and chunk = Bytes.create 65536 in
  ignore
    (Wex.Channel.watch Unix.stdin (fun channel ->
         match Unix.read Unix.stdin chunk 0 (Bytes.length chunk) with
         | 0 ->
             Wex.Channel.remove channel;
             Wex.stop ()
         | n -> List.iter command (Probe_input.feed input chunk 0 n)));
  (* Bounded like every process of the tests: a forgotten peer leaves. *)
  ignore (Wex.Timer.every ~count:1 ~ms:60_000 (fun _ -> say "peer gave up"; Wex.stop ()));
  say "started %s" name;
  Wex.main_loop ();
  say "stopped"
