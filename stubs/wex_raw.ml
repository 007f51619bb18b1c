external wex_init : string -> string -> string -> unit = "wex_init"
external wex_start : string -> unit = "wex_start"
external wex_stop : unit -> unit = "wex_stop"
external wex_sendMsg : string -> unit = "wex_sendMsg"
external wex_name_of_client : int -> string = "wex_name_of_client"
external wex_host_of_client : int -> string = "wex_host_of_client"
external wex_bindMsg : string -> string -> int = "wex_bindMsg"
external wex_unbindMsg : int -> unit = "wex_unbindMsg"
external wex_mainLoop : unit -> unit = "wex_mainLoop"

external wex_timerRepeatafter : int -> int -> string -> int
  = "wex_timerRepeatafter"

external wex_timerRemove : int -> unit = "wex_timerRemove"
external wex_channelSetUp : int -> string -> int = "wex_channelSetUp"
external wex_channelClose : int -> unit = "wex_channelClose"
