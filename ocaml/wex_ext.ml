(* The extension stubs (wex_ext_stubs.c): what Wex needs of the bus library
   beyond the raw primitives.  Private to the library wex. *)

external check_bus : string -> string = "wex_ext_check_bus"
external running : unit -> bool = "wex_ext_running"
external last_error : unit -> string = "wex_ext_last_error"
external send : string -> int = "wex_ext_send"
external flush : int -> int = "wex_ext_flush"
external loop_descriptor : unit -> int = "wex_ext_loop_descriptor"
external loop_timeout : unit -> int = "wex_ext_loop_timeout"
external loop_step : unit -> unit = "wex_ext_loop_step"
external install_wait_hooks : unit -> unit = "wex_ext_install_wait_hooks"
external set_log : bool -> unit = "wex_ext_set_log"
external dropped : int -> int = "wex_ext_dropped"
external set_secret : string -> unit = "wex_ext_set_secret"
