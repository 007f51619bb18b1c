(* Controls of the recording double of the bus library. *)

external take_log : unit -> string = "double_take_log"
external next_handle : int64 -> unit = "double_next_handle"
external name_client : int64 -> string -> string -> unit = "double_name_client"
external held_name : unit -> string = "double_held_name"
external held_ready : unit -> string = "double_held_ready"
external queue_app : int64 -> int -> unit = "double_queue_app"

external queue_message : int64 -> int64 -> int -> string option array -> unit
  = "double_queue_message"

external queue_timer : int64 -> int64 -> unit = "double_queue_timer"
external queue_channel : int -> int64 -> unit = "double_queue_channel"
external queued : unit -> int = "double_queued"
external slot_of : string -> int64 = "double_slot_of"
external heap_in_use : unit -> int = "double_heap_in_use"
external limit_address_space : int -> unit = "double_limit_address_space"
external unlimit_address_space : unit -> unit = "double_unlimit_address_space"

(* The operations recorded since the last call, one line each. *)
let log () =
  String.split_on_char '\n' (take_log ()) |> List.filter (fun line -> line <> "")

let hex p = Printf.sprintf "0x%016Lx" p
