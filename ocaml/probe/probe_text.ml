let quote text =
  let b = Buffer.create (String.length text + 2) in
  Buffer.add_char b '"';
  String.iter
    (function
      | '"' -> Buffer.add_string b "\\\""
      | '\\' -> Buffer.add_string b "\\\\"
      | '\n' -> Buffer.add_string b "\\n"
      | '\t' -> Buffer.add_string b "\\t"
      | '\r' -> Buffer.add_string b "\\r"
      | c when Char.code c < 32 || Char.code c = 127 ->
          Buffer.add_string b (Printf.sprintf "\\x%02x" (Char.code c))
      | c -> Buffer.add_char b c)
    text;
  Buffer.add_char b '"';
  Buffer.contents b

let delivery n sender texts =
  String.concat " "
    (Printf.sprintf "[%d] %s" n sender
    :: Array.to_list (Array.map quote texts))
