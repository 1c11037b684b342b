#!/usr/bin/env bash
# Runs every benchmark program of a build; each one measures its peers in the same run.
set -euo pipefail
build=${1:-build}
for bin in "$build"/bench/bench_*; do
    [ -x "$bin" ] || continue
    echo "== $(basename "$bin")"
    "$bin"
done
