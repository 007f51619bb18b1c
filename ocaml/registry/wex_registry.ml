(* A slot is created once per name and handed out again with it, so taking
   and giving back a name allocates nothing once the pool has grown. *)
type slot = { index : int; name : string }

type 'a t = {
  prefix : string;
  idle : 'a;
  mutable slots : slot array;  (* slots.(i).index = i, for i < count *)
  mutable held : bool array;
  mutable count : int;
  mutable free : int array;  (* a stack of free indices, top at nfree-1 *)
  mutable nfree : int;
  mutable in_use : int;
}

let no_slot = { index = -1; name = "" }

let create ~prefix ~idle =
  {
    prefix;
    idle;
    slots = [||];
    held = [||];
    count = 0;
    free = [||];
    nfree = 0;
    in_use = 0;
  }

let grow pool =
  let capacity = max 8 (2 * Array.length pool.slots) in
  let slots = Array.make capacity no_slot and held = Array.make capacity false in
  Array.blit pool.slots 0 slots 0 pool.count;
  Array.blit pool.held 0 held 0 pool.count;
  pool.slots <- slots;
  pool.held <- held;
  (* Every name can be free at once, so the stack never needs to grow alone. *)
  let free = Array.make capacity 0 in
  Array.blit pool.free 0 free 0 pool.nfree;
  pool.free <- free

let fresh pool =
  if pool.count = Array.length pool.slots then grow pool;
  let index = pool.count in
  let slot = { index; name = pool.prefix ^ string_of_int index } in
  pool.slots.(index) <- slot;
  pool.count <- index + 1;
  slot

let acquire pool f =
  let slot =
    if pool.nfree > 0 then begin
      pool.nfree <- pool.nfree - 1;
      pool.slots.(pool.free.(pool.nfree))
    end
    else fresh pool
  in
  Callback.register slot.name f;
  pool.held.(slot.index) <- true;
  pool.in_use <- pool.in_use + 1;
  slot

let name slot = slot.name

let release pool slot =
  let i = slot.index in
  if i < 0 || i >= pool.count || pool.slots.(i) != slot || not pool.held.(i)
  then
    invalid_arg
      (Printf.sprintf "Wex_registry.release: %S is not in use" slot.name);
  Callback.register slot.name pool.idle;
  pool.held.(i) <- false;
  pool.in_use <- pool.in_use - 1;
  pool.free.(pool.nfree) <- i;
  pool.nfree <- pool.nfree + 1

let names pool = pool.count
let in_use pool = pool.in_use
