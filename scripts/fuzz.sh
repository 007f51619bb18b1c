#!/bin/sh
# make fuzz: runs each fuzz target of bus/fuzz for FUZZ_SECONDS seconds (60
# by default) on one core, from the committed corpus; what it finds goes to
# FUZZ_BUILD/corpus/TARGET (new inputs) and FUZZ_BUILD/artifacts/TARGET
# (crashes, leaks, timeouts), the committed corpus is only read.
# FUZZ_TARGETS picks targets, FUZZ_ARGS adds libFuzzer flags (-runs=N, ...).
cd "$(dirname "$0")/.." || exit 1
build=${FUZZ_BUILD:-_cmake-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"frames announce bus_text encoder agent fast_match"}
status=0
for t in $targets; do
  program=$build/bin/fuzz_$t
  [ -x "$program" ] || { echo "fuzz: no $program (make fuzz builds it)" >&2; exit 1; }
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  log=$build/fuzz-$t.log
  echo "== fuzz $t, ${seconds} s (log: $log)"
  # shellcheck disable=SC2086
  "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t/" $FUZZ_ARGS \
    "$build/corpus/$t" "bus/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" | tail -3
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $rc):" >&2
    grep -E -A12 '^==[0-9]+==ERROR|check failed|runtime error|ALARM|Test unit written' "$log" | head -40 >&2
    status=1
  fi
done
exit $status
