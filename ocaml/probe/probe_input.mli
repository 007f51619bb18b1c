(** Standard input cut into lines, whatever the size of each read: the
    probe reads its input with [Unix.read] as the loop finds it readable, so
    a line may arrive in pieces and several lines in one piece. *)

type t
(** The text read so far that does not yet end a line. *)

val create : unit -> t
(** An empty buffer. *)

val feed : t -> Bytes.t -> int -> int -> string list
(** [feed t bytes off len] adds [len] bytes of [bytes] from [off] and
    returns the lines they complete, in order, each without its ["\n"] (nor
    a ["\r"] before it). *)

val finish : t -> string option
(** At end of input: the last line if it had no ["\n"], and empties [t]. *)
