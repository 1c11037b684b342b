#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The retrieval walk of bench_fetch against the real INN of the test suite: the same 2,000
# articles of about 60 KB posted into eight groups, then walked with 1 and 4 connections.
# Needs root (INN runs system-wide). Usage: bench_fetch_inn.sh [BENCH_FETCH] [READERS]
# Environment: ARTICLES (2000), BENCH_DIRS (where the data folders go: "/tmp /dev/shm").
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../scripts/inn-server.sh"
# shellcheck source=../scripts/inn-work.sh
. "$here/../scripts/inn-work.sh"
bench=${1:-$here/../build/bench/bench_fetch}
readers=${2:-1,4}
articles=${ARTICLES:-2000}
groups=8

inn_work

"$inn" install >/dev/null
port=$(free_port)
names=()
for ((g = 0; g < groups; g++)); do names+=("alt.binaries.bench.$g"); done
"$bench" --write-articles "$work/articles" --articles "$articles" --groups "$groups"
started=1
"$inn" start "$state" "$port" "${names[@]}" >/dev/null
posted=$SECONDS
(cd "$work/articles" && ls | sort -n | xargs "$inn" post "$state")
echo "posted $articles articles in $((SECONDS - posted)) s"
args=()
for name in "${names[@]}"; do args+=(--group "$name"); done
# The data folder on the disk (ext4 here) and on tmpfs: creating many small files costs the
# disk most of the time on this kind of machine, tmpfs shows the protocol and the decoder.
for dir in ${BENCH_DIRS:-/tmp /dev/shm}; do
    echo "data folder under $dir"
    "$bench" --server "127.0.0.1:$port" --readers "$readers" --expect "$articles" --dir "$dir" \
        "${args[@]}"
done
