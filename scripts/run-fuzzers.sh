#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every fuzz target of a fuzz build for a bounded time. Each target first replays its
# regression cases (tests/fuzz/<target>/crashes: inputs that once crashed it) and then
# fuzzes from its seed corpus. A crash fails the run and leaves the input in the work folder.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
work="$build/fuzz-work"
mkdir -p "$work"
status=0
for bin in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin")
    target=${name#fuzz_}
    src="tests/fuzz/$target"
    corpus="$work/$target-corpus"
    mkdir -p "$corpus"
    [ -d "$src/seeds" ] && cp -n "$src/seeds/"* "$corpus/" 2>/dev/null || true
    if [ -d "$src/crashes" ] && [ -n "$(ls -A "$src/crashes" 2>/dev/null)" ]; then
        echo "fuzz: $target: replaying regression cases"
        "$bin" -runs=0 "$src/crashes"/* || status=1
    fi
    echo "fuzz: $target: ${seconds}s"
    if ! "$bin" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
            -artifact_prefix="$work/$target-" "$corpus" >"$work/$target.log" 2>&1; then
        tail -n 60 "$work/$target.log"
        echo "fuzz: $target FAILED; the input is in $work" >&2
        status=1
    else
        grep -E '^(#[0-9]+|Done)' "$work/$target.log" | tail -n 1 || true
    fi
done
exit $status
