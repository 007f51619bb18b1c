open Check

let pool () = Wex_registry.create ~prefix:"test.pool." ~idle:(fun (_ : int) -> ())

(* Names are distinct while held and come back, most recent first, once
   released; the pool grows only to the peak number held at once. *)
let reuse () =
  let p = pool () in
  let slots = List.init 20 (fun i -> Wex_registry.acquire p (fun n -> ignore (n + i))) in
  let names = List.map Wex_registry.name slots in
  equal "distinct names" string_of_int 20
    (List.length (List.sort_uniq compare names));
  equal "names registered" string_of_int 20 (Wex_registry.names p);
  let third = List.nth slots 3 and ninth = List.nth slots 9 in
  Wex_registry.release p third;
  Wex_registry.release p ninth;
  equal "in use after two releases" string_of_int 18 (Wex_registry.in_use p);
  let again = Wex_registry.acquire p ignore in
  equal "last released comes back first" Fun.id (Wex_registry.name ninth)
    (Wex_registry.name again);
  let again2 = Wex_registry.acquire p ignore in
  equal "then the one before" Fun.id (Wex_registry.name third)
    (Wex_registry.name again2);
  let fresh = Wex_registry.acquire p ignore in
  check "a fresh name once none is free"
    (not (List.mem (Wex_registry.name fresh) names));
  equal "names after growing by one" string_of_int 21 (Wex_registry.names p)

(* Objects coming and going, a few alive at a time, never grow the pool
   beyond the peak. *)
let churn () =
  let p = pool () in
  let live = Queue.create () in
  for i = 1 to 100_000 do
    Queue.push (Wex_registry.acquire p (fun n -> ignore (n + i))) live;
    if Queue.length live > 5 then Wex_registry.release p (Queue.pop live)
  done;
  equal "names after 100000 cycles with 6 alive" string_of_int 6
    (Wex_registry.names p);
  Queue.iter (Wex_registry.release p) live;
  equal "none in use at the end" string_of_int 0 (Wex_registry.in_use p)

(* A released name must drop the user's closure, or every closure ever bound
   would stay in the runtime's registry for good. *)
let collected = ref 0

let[@inline never] register_watched p =
  let captured = Bytes.make 64 'x' in
  Gc.finalise (fun _ -> incr collected) captured;
  Wex_registry.acquire p (fun n -> ignore (Bytes.get captured n))

let release_drops_closure () =
  let p = pool () in
  let held = register_watched p in
  let released = register_watched p in
  Wex_registry.release p released;
  Gc.full_major ();
  Gc.full_major ();
  equal "closures collected: only the released one" string_of_int 1 !collected;
  Wex_registry.release p held;
  Gc.full_major ();
  Gc.full_major ();
  equal "closures collected after both released" string_of_int 2 !collected

(* Giving a name back twice would let two objects share it. *)
let misuse () =
  let p = pool () and q = Wex_registry.create ~prefix:"test.other." ~idle:ignore in
  let s = Wex_registry.acquire p ignore in
  Wex_registry.release p s;
  raises "a second release" (fun () -> Wex_registry.release p s);
  let t = Wex_registry.acquire q ignore in
  raises "a release into another pool" (fun () -> Wex_registry.release p t);
  check "two pools never share a name"
    (Wex_registry.name t <> Wex_registry.name (Wex_registry.acquire p ignore))

let () =
  reuse ();
  churn ();
  release_drops_closure ();
  misuse ();
  finish "test_registry"
