#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# bench_line_fetch against the real INN of the test suite, beside bench_pipeline (the line's
# limit) on the same server in the same run: 2,000 articles of about 60 KB (uuencoded) and a
# group of 100,000 articles with a picture every 50th (yEnc), posted as rnews batches, then
# read through qmere-relay at 20 ms each way (40 ms round trip), with no delay, and at
# 100 Mbit/s. Needs root (INN runs system-wide); posting the 100,000 takes a few minutes.
# Usage: bench_line_fetch_inn.sh [BUILD_DIR]
# Environment: ROUNDS (3), BIG (100000 articles), BENCH_DIR (where the data folders go:
# /dev/shm, so that the figures are about the line rather than the disk).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../scripts/inn-server.sh"
# shellcheck source=../scripts/inn-work.sh
. "$here/../scripts/inn-work.sh"
build=${1:-$here/../build}
rounds=${ROUNDS:-3}
big=${BIG:-100000}
line=alt.binaries.line
overview=alt.binaries.line.overview

inn_work "${BENCH_DIR:-/dev/shm}/qmlineinn.XXXXXX"
"$inn" install >/dev/null
port=$(free_port)
mkspool="$build/tools/newsserver/qmere-mkspool"
"$mkspool" --rnews "$work/line.rnews" --group "$line" --articles 2000 --picture-every 1 \
    --article-kb 60 --encoding uu >/dev/null
"$mkspool" --rnews "$work/big.rnews" --group "$overview" --articles "$big" --picture-every 50 \
    --article-kb 60 --encoding yenc >/dev/null
started=1
INN_START_TIMEOUT=60 "$inn" start "$state" "$port" "$line" "$overview" >/dev/null
posted=$SECONDS
"$inn" post-batch "$state" "$work/line.rnews" "$work/big.rnews"
echo "posted 2,000 + $big articles in $((SECONDS - posted)) s"
rm -f "$work/line.rnews" "$work/big.rnews"

echo
"$build/bench/bench_line_fetch" --server "127.0.0.1:$port" --line-group "$line" \
    --big-group "$overview" --big-articles "$big" --rounds "$rounds" --dir "$work"
echo
"$build/bench/bench_pipeline" --server "127.0.0.1:$port" --group "$line" \
    --overview-group "$overview" --repeat "$rounds" --dir "$work"
