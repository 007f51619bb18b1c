(* What the end-to-end cases share: running the loop until something has
   happened (or a deadline has passed), and child processes whose standard
   output is read through a channel of the loop; the checks are Check's.

   The loop is left with an exception from a timer: that is the one way out
   of Wex.main_loop that keeps the agent on the bus, and every case relies on
   it, so the exception path is exercised all the time. *)

include Check

let contains text part =
  let n = String.length part in
  let rec from i = i + n <= String.length text && (String.sub text i n = part || from (i + 1)) in
  from 0

let show_list show items = "[" ^ String.concat "; " (List.map show items) ^ "]"
let show_strings = show_list (Printf.sprintf "%S")
let show_array texts = show_strings (Array.to_list texts)

exception Reached
exception Timed_out

let now = Unix.gettimeofday

(* Runs the loop until [condition ()] holds, checked every few milliseconds;
   false after [timeout] seconds.  [on_exn] sees every other exception that a
   callback raises and says whether to go on (true) or let it out. *)
let run_until ?(timeout = 10.0) ?(on_exn = fun _ -> false) condition =
  let deadline = now () +. timeout in
  let poll =
    Wex.Timer.every ~ms:2 (fun _ ->
        if condition () then raise Reached
        else if now () > deadline then raise Timed_out)
  in
  let rec go () =
    if condition () then true
    else
      match Wex.main_loop () with
      | () -> if now () > deadline then false else go ()
      | exception Reached -> true
      | exception Timed_out -> false
      | exception exn when on_exn exn -> go ()
  in
  let reached =
    match go () with
    | reached -> reached
    | exception exn ->
        Wex.Timer.remove poll;
        raise exn
  in
  Wex.Timer.remove poll;
  reached

(* Runs the loop for a while, for the events that must not happen. *)
let settle seconds =
  let until = now () +. seconds in
  ignore (run_until ~timeout:(seconds +. 1.0) (fun () -> now () > until))

let wait_for what ?timeout condition =
  check ("timed out waiting for " ^ what) (run_until ?timeout condition)

(* ---- Child processes ---- *)

type child = {
  label : string;
  pid : int;
  stdin : Unix.file_descr;
  stdout : Unix.file_descr;
  mutable lines : string list;  (* newest first *)
  mutable ended : bool;
  mutable status : Unix.process_status option;
}

let children : child list ref = ref []

let rec spawn ?env label program args = spawn_child ?env ~replace:false label program args

(* The child gets env as its whole environment. *)
and spawn_with_env label env program args = spawn_child ~env ~replace:true label program args

and spawn_child ?env ~replace label program args =
  let in_read, in_write = Unix.pipe ~cloexec:true () in
  let out_read, out_write = Unix.pipe ~cloexec:true () in
  let argv = Array.of_list (program :: args) in
  let pid =
    match env with
    | None -> Unix.create_process program argv in_read out_write Unix.stderr
    | Some env ->
        Unix.create_process_env program argv
          (if replace then env else Array.append env (Unix.environment ()))
          in_read out_write Unix.stderr
  in
  Unix.close in_read;
  Unix.close out_write;
  let child =
    { label; pid; stdin = in_write; stdout = out_read; lines = []; ended = false;
      status = None }
  in
  let input = Probe_input.create () and chunk = Bytes.create 65536 in
  ignore
    (Wex.Channel.watch out_read (fun channel ->
         match Unix.read out_read chunk 0 (Bytes.length chunk) with
         | 0 ->
             Wex.Channel.remove channel;
             Option.iter (fun l -> child.lines <- l :: child.lines)
               (Probe_input.finish input);
             child.ended <- true
         | n ->
             List.iter
               (fun l -> child.lines <- l :: child.lines)
               (Probe_input.feed input chunk 0 n)
         | exception Unix.Unix_error (Unix.EINTR, _, _) -> ()));
  children := child :: !children;
  child

let tell child line =
  let text = Bytes.of_string (line ^ "\n") in
  try ignore (Unix.write child.stdin text 0 (Bytes.length text))
  with Unix.Unix_error (error, _, _) ->
    fail "writing to %s: %s" child.label (Unix.error_message error)

let has_line child predicate = List.exists predicate child.lines
let saw child line = has_line child (String.equal line)

let expect_line child ?timeout line =
  wait_for (Printf.sprintf "%s to print %S" child.label line) ?timeout
    (fun () -> saw child line)

(* Waits for the child to exit on its own; kills it (it was started here)
   only if it does not within the timeout. *)
let reap ?(timeout = 10.0) child =
  let deadline = now () +. timeout in
  let rec wait () =
    match Unix.waitpid [ Unix.WNOHANG ] child.pid with
    | 0, _ when now () < deadline ->
        Unix.sleepf 0.01;
        wait ()
    | 0, _ ->
        fail "%s did not end within %.0f s: killed" child.label timeout;
        Unix.kill child.pid Sys.sigkill;
        snd (Unix.waitpid [] child.pid)
    | _, status -> status
    | exception Unix.Unix_error (Unix.EINTR, _, _) -> wait ()
  in
  if child.status = None then begin
    (try Unix.close child.stdin with Unix.Unix_error _ -> ());
    child.status <- Some (wait ())
  end;
  Option.get child.status

let reap_all () = List.iter (fun child -> ignore (reap ~timeout:5.0 child)) !children


(* ---- NATS servers ---- *)

(* nats-server, where installed (Debian puts it in /usr/sbin, which a
   user's PATH may lack). *)
let nats_server_binary () =
  let path = Option.value ~default:"" (Sys.getenv_opt "PATH") in
  List.find_map
    (fun dir ->
      let program = Filename.concat dir "nats-server" in
      if dir <> "" && Sys.file_exists program then Some program else None)
    (String.split_on_char ':' path @ [ "/usr/sbin"; "/usr/local/sbin" ])

(* A loopback TCP port free at this moment, the kernel's pick. *)
let free_port () =
  let s = Unix.socket ~cloexec:true Unix.PF_INET Unix.SOCK_STREAM 0 in
  Unix.bind s (Unix.ADDR_INET (Unix.inet_addr_loopback, 0));
  let port = match Unix.getsockname s with Unix.ADDR_INET (_, p) -> p | _ -> 0 in
  Unix.close s;
  port

(* The reply to one HTTP GET on loopback, "" on any failure. *)
let http_get port path =
  let s = Unix.socket ~cloexec:true Unix.PF_INET Unix.SOCK_STREAM 0 in
  let reply = Buffer.create 4096 and chunk = Bytes.create 4096 in
  (try
     Unix.setsockopt_float s Unix.SO_RCVTIMEO 2.0;
     Unix.connect s (Unix.ADDR_INET (Unix.inet_addr_loopback, port));
     let request = Printf.sprintf "GET %s HTTP/1.0\r\n\r\n" path in
     ignore (Unix.write_substring s request 0 (String.length request));
     let rec read budget =
       let n = Unix.read s chunk 0 (Bytes.length chunk) in
       if n > 0 && budget > 0 then begin
         Buffer.add_subbytes reply chunk 0 n;
         read (budget - 1)
       end
     in
     read 256
   with Unix.Unix_error _ -> ());
  Unix.close s;
  Buffer.contents reply

type nats_node = { node_pid : int; client_port : int }

let nats_bus node = Printf.sprintf "nats://127.0.0.1:%d" node.client_port

(* Three nats-server nodes on 127.0.0.1, routed to each other, once each
   reports its two routes; killed when this program exits.  Error when
   nats-server is missing or the nodes do not form a cluster. *)
let start_nats_cluster () =
  match nats_server_binary () with
  | None -> Error "nats-server is not installed (make deps installs it)"
  | Some program ->
      let ports = List.init 3 (fun _ -> (free_port (), free_port (), free_port ())) in
      let null = Unix.openfile "/dev/null" [ Unix.O_RDWR; Unix.O_CLOEXEC ] 0 in
      let route (_, _, cluster) = Printf.sprintf "nats://127.0.0.1:%d" cluster in
      let start i ((client, monitor, _) as own) =
        let others = List.filteri (fun j _ -> j <> i) ports in
        let argv =
          [| program; "-a"; "127.0.0.1"; "-p"; string_of_int client; "-m"; string_of_int monitor;
             "--cluster_name"; "wextest"; "--cluster"; route own; "--routes";
             String.concat "," (List.map route others) |]
        in
        ({ node_pid = Unix.create_process program argv null null null; client_port = client },
         monitor)
      in
      let nodes = List.mapi start ports in
      Unix.close null;
      at_exit (fun () ->
          List.iter
            (fun (node, _) ->
              (try Unix.kill node.node_pid Sys.sigkill with Unix.Unix_error _ -> ());
              try ignore (Unix.waitpid [] node.node_pid) with Unix.Unix_error _ -> ())
            nodes);
      let deadline = now () +. 15.0 in
      let rec routed (node, monitor) =
        contains (http_get monitor "/routez") "\"num_routes\": 2"
        || (now () < deadline && (Unix.sleepf 0.02; routed (node, monitor)))
      in
      if List.for_all routed nodes then Ok (List.map fst nodes)
      else Error "the three nats-server nodes did not route to each other"
