(* Just enough of a test harness: count failures, say which, exit 1. *)
let failures = ref 0

let check what condition =
  if not condition then begin
    incr failures;
    Printf.printf "FAIL: %s\n%!" what
  end

let equal what printer expected actual =
  if expected <> actual then begin
    incr failures;
    Printf.printf "FAIL: %s: expected %s, got %s\n%!" what (printer expected)
      (printer actual)
  end

let raises what f =
  match f () with
  | _ -> check (what ^ " raises") false
  | exception (Invalid_argument _ | Failure _) -> ()

let finish name =
  if !failures > 0 then begin
    Printf.printf "%s: %d failure(s)\n%!" name !failures;
    exit 1
  end
  else Printf.printf "%s: ok\n%!" name
