#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fill servers against the fixture news server, both at a delay: qmere-cli fetch of a group of
# 2,000 uuencoded pictures from a complete main server, then from a main server that lacks
# every tenth article beside a complete fill server, each round from a fresh profile and data
# folder ("Thumbnails" 0: the fetch alone). Prints the seconds and articles a second of each.
# Usage: bench_fill.sh [BUILD]   Environment: ARTICLES (2000), LATENCY_MS (20 each way: a
# 40 ms round trip), ROUNDS (3, the median is printed).
set -euo pipefail
build=${1:-$(cd "$(dirname "$0")/.." && pwd)/build}
articles=${ARTICLES:-2000}
latency=${LATENCY_MS:-20}
rounds=${ROUNDS:-3}
work=$(mktemp -d /tmp/qmere-bench-fill.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

"$build/tools/newsserver/qmere-mkspool" --spool "$work/spool" --group alt.bench.fill \
    --articles "$articles" --picture-every 1 --encoding uu >/dev/null
missing=$(seq -s, 10 10 "$articles")

serve() {  # serve NAME ARGS...: starts a server, sets the variable NAME to its port
    local name=$1
    shift
    "$build/tools/newsserver/qmere-newsd" --spool "$work/spool" --latency-ms "$latency" "$@" \
        >"$work/$name.out" &
    pids+=($!)
    until [[ -s $work/$name.out ]]; do sleep 0.05; done
    printf -v "$name" '%s' "$(awk '{print $2; exit}' "$work/$name.out")"
}
serve complete
serve lacking --missing "$missing"
serve fill

fetch() {  # fetch ARGS...: seconds of one fetch from a fresh profile and data folder
    local home=$work/home.$RANDOM
    mkdir -p "$home"
    XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data "$build/qmere-cli" config Thumbnails=0 >/dev/null
    local start end
    start=$(date +%s.%N)
    XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data \
        "$build/qmere-cli" fetch --quiet --threads 1 --newest 0 "$@" alt.bench.fill >"$home/out"
    end=$(date +%s.%N)
    tail -n 1 "$home/out" >&2
    rm -rf "$home"
    echo "$end - $start" | bc
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }

# The two kinds alternate round by round, so that a change in the machine's load falls on
# both alike.
complete_times=()
lacking_times=()
for ((r = 0; r < rounds; r++)); do
    complete_times+=("$(fetch --server "127.0.0.1:$complete")")
    lacking_times+=("$(fetch --server "127.0.0.1:$lacking" --fill-server "127.0.0.1:$fill")")
done
for kind in complete lacking; do
    declare -n times=${kind}_times
    seconds=$(printf '%s\n' "${times[@]}" | median)
    printf '%s main server: %.2f s, %.0f articles/s\n' "$kind" "$seconds" \
        "$(echo "$articles / $seconds" | bc -l)"
done
