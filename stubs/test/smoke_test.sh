#!/bin/sh
# Runs one smoke-test program against a C++ wexagent on a fresh loopback bus
# and checks what the agent saw.  Usage: smoke_test.sh PROGRAM
set -u
program=$1
root=${DUNE_SOURCEROOT:-$(cd "$(dirname "$0")/../../../.." && pwd)}
bin=${WEX_BIN_DIR:-$root/_cmake/bin}
agent=$bin/wexagent
export LD_LIBRARY_PATH=${LD_LIBRARY_PATH:-$(dirname "$bin")/lib}
if [ ! -x "$agent" ]; then
  echo "FAIL smoke: no wexagent in $bin (build the bus library first)"
  exit 1
fi
bus=127.255.255.255:$(sh "$root/scripts/random-port.sh")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The agent says its line once we are connected, stays at most 10 s, and
# leaves after the first delivery: our answer.
printf 'from agent: hello 100%% %%d\n' |
  timeout 20 "$agent" -b "$bus" -n cxxagent -p 1 -w 10000 -x 1 '^from ocaml: (.*)$' \
    >"$out/agent" 2>"$out/agent.err" &
agent_pid=$!
timeout 20 "$program" "$bus"
status=$?
wait $agent_pid
tab=$(printf '\t')
if ! grep -qx "connected${tab}stubs_smoke${tab}127.0.0.1" "$out/agent"; then
  echo "FAIL smoke: the C++ agent did not see stubs_smoke connect"; status=1
fi
if ! grep -qx "msg${tab}stubs_smoke${tab}0${tab}1${tab}%s 100%" "$out/agent"; then
  echo "FAIL smoke: the C++ agent did not get the answer"; status=1
fi
if [ $status != 0 ]; then
  echo "-- agent output:"; cat "$out/agent" "$out/agent.err"
fi
exit $status
