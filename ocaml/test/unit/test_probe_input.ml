open Check

let show_lines lines = "[" ^ String.concat "; " (List.map (Printf.sprintf "%S") lines) ^ "]"

(* Whatever the cuts between reads, the same lines come out, in order. *)
let lines_from_pieces () =
  let text = "one\ntwo\r\n\nthree four\nlast" in
  let expected = [ "one"; "two"; ""; "three four" ] in
  List.iter
    (fun piece ->
      let input = Probe_input.create () and got = ref [] in
      let bytes = Bytes.of_string text in
      let rec go off =
        if off < Bytes.length bytes then begin
          let len = min piece (Bytes.length bytes - off) in
          got := !got @ Probe_input.feed input bytes off len;
          go (off + len)
        end
      in
      go 0;
      equal (Printf.sprintf "lines read %d bytes at a time" piece) show_lines
        expected !got;
      equal "the unterminated last line at end of input"
        (function None -> "None" | Some l -> l)
        (Some "last") (Probe_input.finish input);
      equal "nothing left after finish"
        (function None -> "None" | Some l -> l)
        None (Probe_input.finish input))
    [ 1; 2; 3; 5; 64 ];
  (* A read that starts inside a larger buffer. *)
  let input = Probe_input.create () in
  equal "feed honours the offset" show_lines [ "cd" ]
    (Probe_input.feed input (Bytes.of_string "abcd\nef") 2 4)

let show_command = function
  | Probe_command.Send m -> "Send " ^ m
  | Nothing -> "Nothing"
  | Who -> "Who"
  | Bind p -> Printf.sprintf "Bind %S" p
  | Unbind n -> Printf.sprintf "Unbind %d" n
  | Quit -> "Quit"
  | Help -> "Help"
  | Bad _ -> "Bad"

let commands () =
  List.iter
    (fun (line, expected) ->
      (* Bad carries words for people: only the kind is checked. *)
      equal (Printf.sprintf "parse %S" line) Fun.id (show_command expected)
        (show_command (Probe_command.parse line)))
    [
      ("hello world", Probe_command.Send "hello world");
      ("  indented", Send "  indented");
      ("", Nothing);
      (" \t ", Nothing);
      ("..dotted", Send ".dotted");
      ("..", Send ".");
      (".who", Who);
      (".quit", Quit);
      (".help", Help);
      (".bind ^a (.*) $", Bind "^a (.*) $");
      (".bind \t x  y ", Bind "x  y ");
      (".bind", Bad "");
      (".bind   ", Bad "");
      (".unbind 3", Unbind 3);
      (".unbind  12 ", Unbind 12);
      (".unbind", Bad "");
      (".unbind x", Bad "");
      (".unbind 0x1", Bad "");
      (".unbind -1", Bad "");
      (".unbind 0", Unbind 0);
      (".who now", Bad "");
      (".frob", Bad "");
      (".", Bad "");
      (". who", Bad "");
    ]

let texts () =
  equal "quote escapes" Fun.id {|"a\"b\\c\nd\te\x01 é"|}
    (Probe_text.quote "a\"b\\c\nd\te\001 é");
  equal "quote shows empty text" Fun.id {|""|} (Probe_text.quote "");
  equal "delivery line" Fun.id {|[2] clock "12:00" ""|}
    (Probe_text.delivery 2 "clock" [| "12:00"; "" |]);
  equal "delivery without captures" Fun.id "[1] echo"
    (Probe_text.delivery 1 "echo" [||])

let () =
  lines_from_pieces ();
  commands ();
  texts ();
  finish "test_probe_input"
