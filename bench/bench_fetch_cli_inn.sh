#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The run as users start it: `qmere-cli fetch --threads 1 --newest 0` whole (picture catalogue,
# journal, picture database and thumbnails on), of 2,000 uuencoded pictures of 60 KB from the
# real INN of the test suite, with no delay and through qmere-relay at 20 ms each way (40 ms
# round trip); then bench_pipeline, the simple pipelined client, on the same server in the same
# run. Each round starts from a fresh data folder and profile.
#
# Per round it takes the fetch (until the readers are done: the line "making the last
# thumbnails", or the end when none is left to make) and the whole command (the thumbnails
# included, as the command waits for them), and the same fetch with "Thumbnails" 0. Medians
# of the rounds, with the load average before and after: the machine may be shared.
# Needs root (INN runs system-wide).
# Usage: bench_fetch_cli_inn.sh [BUILD_DIR]
# Environment: ROUNDS (5), BENCH_DIR (where the data folders go: /dev/shm), PIPELINE (1: also
# run bench_pipeline; 0: skip it).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../scripts/inn-server.sh"
# shellcheck source=../scripts/inn-work.sh
. "$here/../scripts/inn-work.sh"
build=${1:-$here/../build}
rounds=${ROUNDS:-5}
articles=2000
group=alt.binaries.cli
cli="$build/qmere-cli"

inn_work "${BENCH_DIR:-/dev/shm}/qmclifetch.XXXXXX"
"$inn" install >/dev/null
port=$(free_port)
"$build/tools/newsserver/qmere-mkspool" --rnews "$work/cli.rnews" --group "$group" \
    --articles "$articles" --picture-every 1 --article-kb 60 --encoding uu >/dev/null
relay_pid=
stop_relay() { [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null; relay_pid=; }
cleanup() { stop_relay || true; inn_work_cleanup; }
trap cleanup EXIT
started=1
"$inn" start "$state" "$port" "$group" >/dev/null
"$inn" post-batch "$state" "$work/cli.rnews"
rm -f "$work/cli.rnews"

# One run into a fresh folder; prints "FETCH_SECONDS TOTAL_SECONDS".
run_once() {
    local target=$1 thumbnails=$2 home="$work/home"
    rm -rf "$home"
    mkdir -p "$home"
    export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
    "$cli" config "Thumbnails=$thumbnails" >/dev/null
    "$cli" fetch --server "$target" --threads 1 --newest 0 "$group" 2>"$work/stderr" |
        perl -MTime::HiRes=time -ne '
            BEGIN { $t0 = time; $fetch = 0 }
            $fetch = time - $t0 if !$fetch && /making the last thumbnails/;
            $last = $_;
            END {
                $total = time - $t0;
                $fetch ||= $total;
                die "no closing summary\n" unless $last =~ /^Run ended: 1 group, '"$articles"' articles/;
                printf "%.3f %.3f\n", $fetch, $total;
            }' || { cat "$work/stderr" >&2; return 1; }
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

measure() {
    local label=$1 target=$2 fetch=() total=() plain=() f t
    for ((r = 0; r < rounds; r++)); do
        read -r f t < <(run_once "$target" 1)
        fetch+=("$f")
        total+=("$t")
        read -r f t < <(run_once "$target" 0)
        plain+=("$t")
    done
    local mf mt mp
    mf=$(printf '%s\n' "${fetch[@]}" | median)
    mt=$(printf '%s\n' "${total[@]}" | median)
    mp=$(printf '%s\n' "${plain[@]}" | median)
    printf '%-10s fetch %6.2f s %6.0f articles/s | whole command %6.2f s | Thumbnails=0 %6.2f s %6.0f articles/s  (rounds: fetch %s; whole %s; off %s)\n' \
        "$label" "$mf" "$(echo "$articles / $mf" | bc -l)" "$mt" "$mp" "$(echo "$articles / $mp" | bc -l)" \
        "${fetch[*]}" "${total[*]}" "${plain[*]}"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) processors"
echo "qmere-cli fetch --threads 1 --newest 0, $articles articles of 60 KB (uu), medians of $rounds rounds"
measure "no delay" "127.0.0.1:$port"
relay_out="$work/relay.out"
"$build/tools/relay/qmere-relay" --target "127.0.0.1:$port" --delay-ms 20 >"$relay_out" &
relay_pid=$!
for _ in $(seq 50); do grep -q '^port ' "$relay_out" && break; sleep 0.1; done
relay_port=$(awk '/^port / { print $2; exit }' "$relay_out")
measure "40 ms" "127.0.0.1:$relay_port"
stop_relay || true
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "${PIPELINE:-1}" = 1 ]; then
    echo
    "$build/bench/bench_pipeline" --server "127.0.0.1:$port" --group "$group" --windows 64 \
        --repeat "$rounds" --dir "$work"
fi
