(* The wex loop run by Lwt's engine: an event on the loop's descriptor and
   one timer for the loop's next timer, each calling one step of the loop,
   after which the timer is set again.  Everything the driver puts into the
   engine is in its record, and removed when the driver ends. *)

(* ---- Handing over to Lwt ---- *)

(* What a callback of this module has for Lwt waits here while a step runs,
   and is handed over once the step is over, in arrival order: Lwt code
   (whatever a resolved promise or a pushed stream wakes up) never runs
   inside the wex loop.  Outside a step (Wex.main_loop running our
   callbacks, say) it is handed over at once. *)
let stepping = ref false
let for_lwt : (unit -> unit) Queue.t = Queue.create ()
let later f = if !stepping then Queue.push f for_lwt else f ()

let hand_over () =
  while not (Queue.is_empty for_lwt) do
    let f = Queue.pop for_lwt in
    try f () with exn -> !Lwt.async_exception_hook exn
  done

(* ---- The driver ---- *)

type driver = {
  finished : unit Lwt.u;
  mutable readable : Lwt_engine.event;
  mutable timer : Lwt_engine.event;
  mutable soon : bool;  (* a step is due at Lwt's next iteration *)
  mutable on_bus : bool;  (* when the last step ended *)
  mutable stop_asked : bool;
}

let driver : driver option ref = ref None
let current d = match !driver with Some d' -> d' == d | None -> false

let finish d result =
  if current d then begin
    driver := None;
    Lwt_engine.stop_event d.readable;
    Lwt_engine.stop_event d.timer;
    hand_over ();
    (* Does nothing to a promise that was cancelled. *)
    Lwt.wakeup_later_result d.finished result
  end

let rec step d =
  if current d then begin
    stepping := true;
    let outcome = match Wex.Embed.step () with () -> Ok () | exception e -> Error e in
    stepping := false;
    match outcome with
    | Ok () ->
        hand_over ();
        plan d
    | Error _ as error -> finish d error
  end

(* What the loop waits for now: the descriptor is watched all along; the
   timer is set for the loop's next timer. *)
and plan d =
  if current d then
    let on_bus = Wex.running () in
    if d.stop_asked || (d.on_bus && not on_bus) then finish d (Ok ())
    else begin
      d.on_bus <- on_bus;
      Lwt_engine.stop_event d.timer;
      d.timer <- Lwt_engine.fake_event;
      match Wex.Embed.timeout () with
      | None -> finish d (Ok ())
      | Some 0 ->
          (* Work now: a step at Lwt's next iteration, after other Lwt code
             has had its turn. *)
          if not d.soon then begin
            d.soon <- true;
            Lwt.on_success (Lwt.pause ()) (fun () ->
                d.soon <- false;
                step d)
          end
      | Some ms -> d.timer <- Lwt_engine.on_timer (float ms /. 1000.) false (fun _ -> step d)
    end

let run () =
  match !driver with
  | Some _ -> Lwt.fail (Failure "Wex_lwt.run: the wex loop is run already")
  | None -> (
      match Wex.Embed.descriptor () with
      | exception exn -> Lwt.fail exn
      | fd ->
          let promise, finished = Lwt.task () in
          let d =
            {
              finished;
              readable = Lwt_engine.fake_event;
              timer = Lwt_engine.fake_event;
              soon = false;
              on_bus = false;
              stop_asked = false;
            }
          in
          driver := Some d;
          d.readable <- Lwt_engine.on_readable fd (fun _ -> step d);
          Lwt.on_cancel promise (fun () -> finish d (Ok ()));
          plan d;
          promise)

let stop () =
  Wex.stop ();
  match !driver with
  | None -> ()
  | Some d ->
      d.stop_asked <- true;
      (* From a callback, the step that runs it ends the driver. *)
      if not !stepping then finish d (Ok ())

(* ---- Messages ---- *)

type delivery = { peer : Wex.client; name : string; texts : string array }

(* How each binding of [bind] ends its stream. *)
let ends : (Wex.binding, unit -> unit) Hashtbl.t = Hashtbl.create 8

let bind pattern =
  let stream, push = Lwt_stream.create () in
  let open_ = ref true in
  let binding =
    Wex.bind pattern (fun peer texts ->
        let delivery = { peer; name = Wex.name_of peer; texts } in
        later (fun () -> if !open_ then push (Some delivery)))
  in
  Hashtbl.replace ends binding (fun () ->
      if !open_ then begin
        open_ := false;
        push None
      end);
  (stream, binding)

let unbind binding =
  Wex.unbind binding;
  match Hashtbl.find_opt ends binding with
  | None -> ()
  | Some end_stream ->
      Hashtbl.remove ends binding;
      (* After the deliveries that arrived before. *)
      later end_stream

let send = Wex.send

(* ---- Requests ---- *)

exception Timeout of { message : string; pattern : string; seconds : float }

let () =
  Printexc.register_printer (function
    | Timeout { message; pattern; seconds } ->
        Some
          (Printf.sprintf "Wex_lwt.Timeout: nothing matched %S within %g s of sending %S"
             pattern seconds message)
    | _ -> None)

let request ?(timeout = 5.0) message pattern =
  if Float.is_nan timeout || timeout <= 0. then
    Lwt.fail_invalid_arg (Printf.sprintf "Wex_lwt.request: timeout %g is not a duration" timeout)
  else
    let answer, resolver = Lwt.task () in
    let binding = ref None and clock = ref Lwt.return_unit in
    let withdraw () =
      Option.iter Wex.unbind !binding;
      binding := None
    in
    (* However the request ends, the subscription and the clock go. *)
    let settle outcome =
      if Lwt.is_sleeping answer then begin
        withdraw ();
        Lwt.cancel !clock;
        Lwt.wakeup_later_result resolver outcome
      end
    in
    Lwt.on_cancel answer (fun () ->
        withdraw ();
        Lwt.cancel !clock);
    match
      Wex.bind pattern (fun _ texts ->
          (* The first delivery only: none reaches this callback after. *)
          withdraw ();
          later (fun () -> settle (Ok texts)))
    with
    | exception exn -> Lwt.fail exn
    | b -> (
        binding := Some b;
        match Wex.send message with
        | exception exn ->
            withdraw ();
            Lwt.fail exn
        | _ ->
            if timeout < infinity then begin
              clock := Lwt_unix.sleep timeout;
              Lwt.on_success !clock (fun () ->
                  settle (Error (Timeout { message; pattern; seconds = timeout })))
            end;
            answer)
