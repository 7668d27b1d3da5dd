#!/bin/sh
# Runs every benchmark program of a build folder; stops at the first failure.
build=${1:-build}
for b in "$build"/bench/bench_*; do
    [ -f "$b" ] && [ -x "$b" ] || continue
    echo "== $(basename "$b")"
    "$b" || exit 1
done
