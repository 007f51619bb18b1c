#!/bin/sh
# The loop against a bare epoll loop: per readable event and per timer expiry.
# Pinned to one processor where taskset exists, so that both run alike.
set -e
bin=${WEX_BENCH_BIN:?run through bench/run.sh or set WEX_BENCH_BIN}/loop_bench
if command -v taskset >/dev/null 2>&1; then
  exec taskset -c 0 "$bin" "$@"
fi
exec "$bin" "$@"
