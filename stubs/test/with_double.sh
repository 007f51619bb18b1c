#!/bin/sh
# Runs a test program with the recording double (built next to this script)
# loaded in place of libwex.so.3.
here=$(cd "$(dirname "$0")" && pwd)
LD_LIBRARY_PATH="$here${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" exec "$@"
