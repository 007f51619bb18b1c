(** What one line of the probe's input asks for.  A line is a message to
    send unless it starts with ["."]: then it is a command, and [".."] at
    its start sends the rest of the line from its second dot on. *)

type t =
  | Send of string  (** Send this message. *)
  | Nothing  (** A blank line: nothing to do. *)
  | Who  (** [.who]: list the peers. *)
  | Bind of string  (** [.bind PATTERN]: subscribe. *)
  | Unbind of int  (** [.unbind N]: withdraw subscription number N. *)
  | Quit  (** [.quit]: leave the bus and end. *)
  | Help  (** [.help]: list the commands. *)
  | Bad of string  (** A command that is not understood, and why. *)

val parse : string -> t
(** [parse line] reads one line of input (without its end of line). *)

val help : string
(** The commands, one a line, for [.help] and [--help]. *)
