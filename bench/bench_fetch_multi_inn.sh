#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One group over several connections of a capped account: `qmere-cli fetch --newest 0` of one
# group from the real INN of the test suite through qmere-relay at 20 ms each way and 20 Mbit/s
# per connection, with 1, 4 and 8 readers, of articles of 60 KB and of 700 KB (uuencoded
# pictures); beside it, in the same run, bench_pipeline, the simple pipelined client (BODY, 64
# in flight per connection) on the same relay with 1, 4 and 8 connections. Both fetch the same
# articles: their articles/s compare as their MB/s do.
#
# Per run it takes the fetch until the readers are done (the line "making the last thumbnails",
# or the end when none is left to make), from a fresh data folder and profile. Needs root (INN
# runs system-wide); only one INN at a time on a machine: it waits while another innd runs.
# Usage: bench_fetch_multi_inn.sh [BUILD_DIR]
# Environment: SMALL (articles of 60 KB: 600), BIG (articles of 700 KB: 60), READERS ("1 4 8"),
# BENCH_DIR (where the data folders go: /dev/shm).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../scripts/inn-server.sh"
# shellcheck source=../scripts/inn-work.sh
. "$here/../scripts/inn-work.sh"
build=${1:-$here/../build}
cli="$build/qmere-cli"
readers=${READERS:-1 4 8}
small=${SMALL:-600}
big=${BIG:-60}

while pgrep -x innd >/dev/null; do
    echo "waiting: another innd runs" >&2
    sleep 10
done

inn_work "${BENCH_DIR:-/dev/shm}/qmclimulti.XXXXXX"
"$inn" install >/dev/null
port=$(free_port)
"$build/tools/newsserver/qmere-mkspool" --rnews "$work/small.rnews" --group alt.binaries.small \
    --articles "$small" --picture-every 1 --article-kb 60 --encoding uu >/dev/null
"$build/tools/newsserver/qmere-mkspool" --rnews "$work/big.rnews" --group alt.binaries.big \
    --articles "$big" --picture-every 1 --article-kb 700 --encoding uu >/dev/null
relay_pid=
stop_relay() { [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null; relay_pid=; }
cleanup() { stop_relay || true; inn_work_cleanup; }
trap cleanup EXIT
started=1
"$inn" start "$state" "$port" alt.binaries.small alt.binaries.big >/dev/null
"$inn" post-batch "$state" "$work/small.rnews"
"$inn" post-batch "$state" "$work/big.rnews"
rm -f "$work/small.rnews" "$work/big.rnews"

relay_out="$work/relay.out"
"$build/tools/relay/qmere-relay" --target "127.0.0.1:$port" --delay-ms 20 --rate-mbit 20 \
    >"$relay_out" &
relay_pid=$!
for _ in $(seq 50); do grep -q '^port ' "$relay_out" && break; sleep 0.1; done
relay_port=$(awk '/^port / { print $2; exit }' "$relay_out")

# One fetch of group with n readers into a fresh folder; prints its seconds.
run_once() {
    local group=$1 n=$2 count=$3 home="$work/home"
    rm -rf "$home"
    mkdir -p "$home"
    export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config"
    "$cli" fetch --server "127.0.0.1:$relay_port" --threads "$n" --newest 0 "$group" \
        2>"$work/stderr" |
        perl -MTime::HiRes=time -ne '
            BEGIN { $t0 = time; $fetch = 0 }
            $fetch = time - $t0 if !$fetch && /making the last thumbnails/;
            $last = $_;
            END {
                $total = time - $t0;
                $fetch ||= $total;
                die "no closing summary: $last\n" unless $last =~ /^Run ended: 1 group, '"$count"' articles/;
                printf "%.3f\n", $fetch;
            }' || { cat "$work/stderr" >&2; return 1; }
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) processors"
for size in small big; do
    group=alt.binaries.$size
    count=$small
    [ "$size" = big ] && count=$big
    echo
    echo "== $group: $count articles through the relay (20 ms each way, 20 Mbit/s a connection)"
    "$build/bench/bench_pipeline" --server "127.0.0.1:$port" --group "$group" \
        --delay-ms 20 --rate-mbit 20 --rated-connections "${readers// /,}" --dir "$work" |
        tee "$work/simple.out" | sed -n '/^relay at/,$p'
    for n in $readers; do
        seconds=$(run_once "$group" "$n" "$count")
        echo "qmere-cli fetch --threads $n: $seconds s, $(echo "$count / $seconds" | bc -l | xargs printf '%.0f') articles/s"
    done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
