#!/bin/sh
# The bus between two processes on loopback, each pinned with taskset, in
# both placements (both on CPU 0; one on CPU 0 and one on CPU 1), beside
# raw TCP and ZeroMQ (PUSH/PULL, and PUB/SUB with a prefix subscription) in
# the same run.  Read the ratios, not the absolutes.
set -e
bin=${WEX_BENCH_BIN:?WEX_BENCH_BIN must point at the built benchmarks}/bus_bench
floor=$WEX_BENCH_BIN/rtt_floor
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

  # The floors: a bare epoll loop (with and without a wait timeout) and
  # io_uring with one system call a hop (rtt_floor.cpp).
  for mode in epoll epoll-timeout uring; do
    p=$(port)
    taskset -c "$1" "$floor" $mode server "$p" 2>/dev/null & server=$!
    taskset -c "$2" "$floor" $mode client "$p" "$rounds" || true
    wait $server 2>/dev/null || true
  done

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
