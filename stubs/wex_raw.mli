(** The primitives of the stub library, as they are: closures cross by the
    name under which they were registered with [Callback.register], handles
    are plain ints to be handed back unchanged.  Nothing here checks anything;
    the typed library [Wex] is what programs use. *)

external wex_init : string -> string -> string -> unit = "wex_init"
(** [wex_init name ready app_closure_name]; the closure has type
    [int -> int -> unit] (client, event code). *)

external wex_start : string -> unit = "wex_start"
external wex_stop : unit -> unit = "wex_stop"
external wex_sendMsg : string -> unit = "wex_sendMsg"
external wex_name_of_client : int -> string = "wex_name_of_client"
external wex_host_of_client : int -> string = "wex_host_of_client"

external wex_bindMsg : string -> string -> int = "wex_bindMsg"
(** [wex_bindMsg closure_name pattern]; the closure has type
    [int -> string array -> unit] (client, captured texts).  0 when the
    pattern was refused. *)

external wex_unbindMsg : int -> unit = "wex_unbindMsg"
external wex_mainLoop : unit -> unit = "wex_mainLoop"

external wex_timerRepeatafter : int -> int -> string -> int
  = "wex_timerRepeatafter"
(** [wex_timerRepeatafter count period_ms closure_name]; the closure has type
    [int -> unit] (the timer). *)

external wex_timerRemove : int -> unit = "wex_timerRemove"

external wex_channelSetUp : int -> string -> int = "wex_channelSetUp"
(** [wex_channelSetUp fd closure_name]; the closure has type [int -> unit]
    (the channel).  0 when the descriptor was refused. *)

external wex_channelClose : int -> unit = "wex_channelClose"
