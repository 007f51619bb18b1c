type t =
  | Send of string
  | Nothing
  | Who
  | Bind of string
  | Unbind of int
  | Quit
  | Help
  | Bad of string

let help =
  String.concat "\n"
    [
      ".who             list the peers on the bus";
      ".bind PATTERN    print every message that PATTERN matches";
      ".unbind N        stop printing the messages of pattern number N";
      ".quit            leave the bus and end (so does end of input)";
      ".help            this list";
      "..TEXT           send .TEXT (any other line is sent as it is)";
    ]

let is_blank line = String.for_all (fun c -> c = ' ' || c = '\t') line

(* The word after the dot, and what follows it with the blanks between them
   dropped; the argument keeps its own inner and trailing blanks, which
   matter in a pattern. *)
let split command =
  let n = String.length command in
  let rec word_end i = if i < n && command.[i] <> ' ' && command.[i] <> '\t' then word_end (i + 1) else i in
  let rec skip i = if i < n && (command.[i] = ' ' || command.[i] = '\t') then skip (i + 1) else i in
  let w = word_end 1 in
  let a = skip w in
  (String.sub command 1 (w - 1), String.sub command a (n - a))

let parse line =
  if is_blank line then Nothing
  else if line.[0] <> '.' then Send line
  else if String.length line > 1 && line.[1] = '.' then
    Send (String.sub line 1 (String.length line - 1))
  else
    match split line with
    | "who", "" -> Who
    | "quit", "" -> Quit
    | "help", "" -> Help
    | ("who" | "quit" | "help") as word, _ ->
        Bad (Printf.sprintf ".%s takes no argument" word)
    | "bind", "" -> Bad "usage: .bind PATTERN"
    | "bind", pattern -> Bind pattern
    | "unbind", number ->
        let number = String.trim number in
        if
          number <> ""
          && String.length number <= 9
          && String.for_all (fun c -> c >= '0' && c <= '9') number
        then Unbind (int_of_string number)
        else Bad "usage: .unbind N, N the number that .bind printed"
    | "", _ -> Bad "a command name must follow the dot (try .help)"
    | word, _ -> Bad (Printf.sprintf "unknown command .%s (try .help)" word)
