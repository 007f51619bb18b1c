(* What every OCaml test program shares: checks that count and say which one
   failed, named cases, the closing line and exit status, and a bus of its own
   for each run. *)

let failures = ref 0
let checks = ref 0
let case_name = ref ""

let fail fmt =
  Printf.ksprintf
    (fun text ->
      incr failures;
      if !case_name = "" then Printf.printf "FAIL: %s\n%!" text
      else Printf.printf "FAIL [%s]: %s\n%!" !case_name text)
    fmt

let check what condition =
  incr checks;
  if not condition then fail "%s" what

let equal what printer expected actual =
  incr checks;
  if expected <> actual then
    fail "%s: expected %s, got %s" what (printer expected) (printer actual)

let raises what f =
  incr checks;
  match f () with
  | _ -> fail "%s: no exception" what
  | exception (Invalid_argument _ | Failure _) -> ()

(* Runs one named case; an exception out of it is a failure of that case, and
   so is a case that checked nothing. *)
let case name f =
  case_name := name;
  let before = !failures and checked = !checks in
  (try f () with exn -> fail "exception %s" (Printexc.to_string exn));
  if !checks = checked then fail "the case checked nothing";
  Printf.printf "%s %s\n%!" (if !failures = before then "ok  " else "FAIL") name;
  case_name := ""

let finish name =
  Printf.printf "%s: %d checks, %d failed\n%!" name !checks !failures;
  exit (if !failures = 0 then 0 else 1)

(* A loopback bus on a random port, so that runs side by side (bytecode and
   native, two test programs) never meet. *)
let fresh_bus () =
  let state = Random.State.make_self_init () in
  Printf.sprintf "127.255.255.255:%d" (20000 + Random.State.int state 40000)
