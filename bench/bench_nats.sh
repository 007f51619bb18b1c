#!/bin/sh
# wex over NATS beside plain NATS pub/sub (libnats, nats_bench) through the
# same nats-server, and beside wex over the LAN transport: round trip and
# one-way throughput of 32-byte messages, in one run, each pair of roles in
# turn, repeated.  Pinned: nats-server and the sender on CPU 1, the receiver
# (echo, sink) on CPU 0.  Read the ratios, not the absolutes.
set -e
bin=${WEX_BENCH_BIN:?WEX_BENCH_BIN must point at the built benchmarks}
server=$(command -v nats-server || echo /usr/sbin/nats-server)
if [ ! -x "$server" ]; then echo "bench_nats: nats-server is not installed (make deps): skipped"; exit 0; fi
if [ ! -x "$bin/nats_bench" ]; then echo "bench_nats: built without libnats: skipped"; exit 0; fi
rounds=${NATS_BENCH_ROUNDS:-20000}
messages=${NATS_BENCH_MESSAGES:-1000000}
repeat=${NATS_BENCH_REPEAT:-3}
port() { sh "$(dirname "$0")/../scripts/random-port.sh"; }

p=$(port)
taskset -c 1 "$server" -a 127.0.0.1 -p "$p" >/dev/null 2>&1 & nats=$!
trap 'kill $nats 2>/dev/null || true' EXIT
for i in $(seq 100); do ss -ltn | grep -q "127.0.0.1:$p " && break; sleep 0.05; done
url=nats://127.0.0.1:$p

# pair RECEIVER-ROLE SENDER-ROLE PROGRAM BUS [COUNT]: one measurement.
pair() {
  taskset -c 0 "$3" "$1" "$4" ${5:+$5} & receiver=$!
  sleep 0.3
  taskset -c 1 "$3" "$2" "$4" ${5:+$5}
  if [ "$1" = echo ]; then kill $receiver; fi
  wait $receiver 2>/dev/null || true
}

for r in $(seq "$repeat"); do
  echo "-- round trip, round $r"
  pair echo rtt "$bin/nats_bench" "$url" "$rounds" | sed 's/^/   /'
  pair echo rtt "$bin/bus_bench" "$url/rtt$r" "$rounds" | sed 's/^bus/   wex over NATS:/'
  pair echo rtt "$bin/bus_bench" ":$(port)" "$rounds" | sed 's/^bus/   wex over LAN:/'
done
for r in $(seq "$repeat"); do
  echo "-- one-way, round $r"
  pair sink source "$bin/nats_bench" "$url" "$messages" | sed 's/^/   /'
  taskset -c 0 "$bin/bus_bench" sink "$url/oneway$r" "$messages" 1 | sed 's/^bus/   wex over NATS:/' & sink=$!
  taskset -c 1 "$bin/bus_bench" source "$url/oneway$r" "$messages" | sed 's/^bus/   wex over NATS:/'
  wait $sink || true
  lan=":$(port)"
  taskset -c 0 "$bin/bus_bench" sink "$lan" "$messages" 1 | sed 's/^bus/   wex over LAN:/' & sink=$!
  taskset -c 1 "$bin/bus_bench" source "$lan" "$messages" | sed 's/^bus/   wex over LAN:/'
  wait $sink || true
done
