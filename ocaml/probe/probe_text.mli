(** How the probe shows texts from the bus: in double quotes, so that empty
    texts and blanks at either end can be seen, with control characters,
    quotes and backslashes escaped so that every delivery stays on one line;
    other bytes (UTF-8 included) are shown as they are. *)

val quote : string -> string
(** [quote text] is [text] in double quotes, escaped as above. *)

val delivery : int -> string -> string array -> string
(** [delivery n sender texts] is the line for a message that pattern
    number [n] matched: [[n] sender "text1" "text2"...]. *)
