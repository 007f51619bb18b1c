#!/bin/sh
# The bus between two processes on loopback, each pinned with taskset, in
# both placements (both on CPU 0; one on CPU 0 and one on CPU 1), beside
# raw TCP and ZeroMQ (PUSH/PULL, and PUB/SUB with a prefix subscription) in
# the same run.  Read the ratios, not the absolutes.
set -e
bin=${WEX_BENCH_BIN:?WEX_BENCH_BIN must point at the built benchmarks}/bus_bench
rounds=${BUS_BENCH_ROUNDS:-20000}
messages=${BUS_BENCH_MESSAGES:-1000000}
port() { sh "$(dirname "$0")/../scripts/random-port.sh"; }

for placement in "0 0" "0 1"; do
  set -- $placement
  echo "-- server on CPU $1, client on CPU $2"
  bus=":$(port)"
  taskset -c "$1" "$bin" echo "$bus" & server=$!
  taskset -c "$2" "$bin" rtt "$bus" "$rounds"
  kill $server; wait $server 2>/dev/null || true

  p=$(port)
  taskset -c "$1" "$bin" tcp-echo "$p" & server=$!
  taskset -c "$2" "$bin" tcp-rtt "$p" "$rounds"
  wait $server 2>/dev/null || true

  for subs in 1 100 1000; do
    bus=":$(port)"
    taskset -c "$1" "$bin" sink "$bus" "$messages" "$subs" & sink=$!
    echo "   receiver with $subs subscription(s):"
    taskset -c "$2" "$bin" source "$bus" "$messages" | sed 's/^/   /'
    wait $sink || true
  done

  for kind in pull:push sub:pub; do
    p=$(port)
    taskset -c "$1" "$bin" zmq-${kind%%:*} "$p" "$messages" & sink=$!
    taskset -c "$2" "$bin" zmq-${kind##*:} "$p" "$messages" || true
    wait $sink || true
  done
done
