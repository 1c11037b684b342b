#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every benchmark program of a build; each one measures its peers in the same run.
set -euo pipefail
build=${1:-build}
for bin in "$build"/bench/bench_*; do
    [ -x "$bin" ] || continue
    echo "== $(basename "$bin")"
    "$bin"
done
# The command line's start-up, timed as whole processes.
echo "== bench_startup"
"$(dirname "$0")/../bench/bench_startup.sh" "$build/qmere-cli"
