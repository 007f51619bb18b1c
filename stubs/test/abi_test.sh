#!/bin/sh
# The shared stub library's ABI: exactly the nineteen functions exported and no
# data, libwex.so.3 and libc.so.6 needed and nothing else, no shared-object name
# of its own, position-independent.
set -u
library=$1
status=0
fail() { echo "FAIL $library: $*"; status=1; }

expected="ClosureCallback app_cb cb_delete_channel cb_read_channel cb_write_channel
timer_cb wex_bindMsg wex_channelClose wex_channelSetUp wex_host_of_client wex_init
wex_mainLoop wex_name_of_client wex_sendMsg wex_start wex_stop wex_timerRemove
wex_timerRepeatafter wex_unbindMsg"
expected=$(echo $expected | tr ' ' '\n' | LC_ALL=C sort)

symbols=$(nm -D --defined-only "$library") || fail "nm failed"
names=$(echo "$symbols" | awk 'NF { print $NF }' | LC_ALL=C sort)
[ "$names" = "$expected" ] || fail "exports differ from the nineteen:
$(printf '%s\n' "$names" | diff -u - /dev/fd/3 3<<EOF2
$expected
EOF2
)"
not_code=$(echo "$symbols" | awk 'NF && $(NF-1) != "T" { print }')
[ -z "$not_code" ] || fail "exports something other than functions: $not_code"

dynamic=$(readelf -d "$library") || fail "readelf failed"
needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 libwex.so.3 " ] || fail "needs [$needed], not libwex.so.3 and libc.so.6"
echo "$dynamic" | grep -q '(SONAME)' && fail "has a SONAME"
echo "$dynamic" | grep -q '(TEXTREL)' && fail "has text relocations: not position-independent"
readelf -h "$library" | grep -q 'Type: *DYN' || fail "not a shared object"

[ $status = 0 ] && echo "abi: $library exports the nineteen functions, needs libwex.so.3 and libc.so.6"
exit $status
