#!/bin/sh
# The demo: for now the loop on its own, a clock and a pipe echo.
set -e
exec "${WEX_BIN_DIR:?}/loopdemo"
