#!/bin/sh
# The demo: a short scripted conversation on a bus of its own (this host
# only, a random port), between the example agents and the probe.  Every
# agent leaves by itself: the clock after four announcements, the request
# once answered, echo and reply when the probe says "bye", the probe at the
# end of its input.  A watchdog ends whatever is still running after 30 s,
# so that a fault fails the demo instead of hanging it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

dune build --profile release ./examples/echo.exe ./examples/clock.exe \
  ./examples/reply.exe ./examples/request.exe ./ocaml/probe/wexprobe.exe
bin=${DUNE_BUILD_DIR:-_build}/default

WEX_BUS=127.255.255.255:$(sh scripts/random-port.sh)
export WEX_BUS

say() { printf "\n== %s\n" "$*" >&3; }

exec 3>&1
say "a bus of this host only, $WEX_BUS: echo, reply and a clock join it"
"$bin/examples/echo.exe" &
echo_pid=$!
"$bin/examples/reply.exe" &
reply_pid=$!
"$bin/examples/clock.exe" 4 &
clock_pid=$!

# The probe's script: what a person would type, with pauses to watch.
script() {
  sleep 1
  say "the probe sends \"echo hello, bus\""
  echo "echo hello, bus"
  sleep 0.5
  say "the request agent asks reply for a sum"
  "$bin/examples/request.exe" >&3
  sleep 0.3
  say "the probe asks who is there"
  echo ".who"
  sleep 2.5
  say "the probe says bye: echo and reply leave, then the probe"
  echo "bye"
}

(
  trap 'kill "$sleeper" 2>/dev/null; exit 0' TERM
  sleep 30 &
  sleeper=$!
  wait "$sleeper"
  kill "$echo_pid" "$reply_pid" "$clock_pid" 2>/dev/null
  say "demo watchdog: still running after 30 s, the agents were stopped"
) &
watchdog=$!

say "the probe joins, printing the time, the echoes and the sums"
status=0
script | "$bin/ocaml/probe/wexprobe.exe" -n probe -l 500 \
  '^time (.*)' '^echoed (.*)' '^sum (.*)' || status=$?
wait "$echo_pid" || status=$?
wait "$reply_pid" || status=$?
wait "$clock_pid" || status=$?
kill "$watchdog" 2>/dev/null || true
wait "$watchdog" 2>/dev/null || true

if [ "$status" -eq 0 ]; then
  say "every agent has left the bus; the demo is over"
else
  say "the demo failed (status $status)"
fi
exit "$status"
