(** The names under which the typed library registers closures with the
    runtime ([Callback.register]), kept in pools.

    The runtime's named-value registry never forgets a name, so handing out a
    fresh name per binding, timer or channel would grow it without bound, and
    every closure ever registered would stay reachable.  A pool instead gives
    a name back when its object goes away: it registers the pool's idle
    closure under that name, which drops the last reference to the user's
    closure, and hands the name out again later.  The registry then holds as
    many names as there were live objects at the busiest moment.

    One pool per closure type: the stubs apply a name's closure with the
    arity of the kind of object it was given to, so a name must never move
    from a binding (two arguments) to a timer (one). *)

type 'a t
(** A pool of names for closures of type ['a]. *)

type slot
(** One name taken from a pool, held by one live object. *)

val create : prefix:string -> idle:'a -> 'a t
(** [create ~prefix ~idle] is an empty pool whose names are [prefix]
    followed by a number; [idle] is what a name holds while it is free.
    Prefixes of two pools must differ. *)

val acquire : 'a t -> 'a -> slot
(** [acquire pool f] registers [f] under a free name of [pool], the most
    recently released one if any, else a new one. *)

val name : slot -> string
(** The name under which the slot's closure is registered. *)

val release : 'a t -> slot -> unit
(** [release pool slot] registers the pool's idle closure under the slot's
    name and makes the name free again.
    @raise Invalid_argument if the slot is already free: two objects would
    otherwise end up sharing one name. *)

val names : 'a t -> int
(** How many names the pool has registered so far, free or in use. *)

val in_use : 'a t -> int
(** How many of them are held. *)
