#!/bin/sh
# Prints a random UDP port in 20000..59999 for a bus of its own, so that
# tests, benchmarks and the demo running side by side never meet.
echo $((20000 + $(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 40000))
