type t = Buffer.t

let create () = Buffer.create 256

let strip_cr line =
  let n = String.length line in
  if n > 0 && line.[n - 1] = '\r' then String.sub line 0 (n - 1) else line

let feed t bytes off len =
  let lines = ref [] and start = ref off in
  for i = off to off + len - 1 do
    if Bytes.get bytes i = '\n' then begin
      Buffer.add_subbytes t bytes !start (i - !start);
      lines := strip_cr (Buffer.contents t) :: !lines;
      Buffer.clear t;
      start := i + 1
    end
  done;
  Buffer.add_subbytes t bytes !start (off + len - !start);
  List.rev !lines

let finish t =
  if Buffer.length t = 0 then None
  else begin
    let line = strip_cr (Buffer.contents t) in
    Buffer.clear t;
    Some line
  end
