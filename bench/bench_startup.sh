#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Start-up cost of the command line: `qmere-cli config` with no arguments (load the settings,
# print them, exit), on a fresh profile and on one in use (10,000 message-ids in MSGLIST, 300
# subscribed groups, a server list), beside two peers measured in the same run: /bin/true
# (starting any process) and `xdg-mime query default text/html` (the default-browser lookup
# that loading the settings once ran). The goal is under 10 ms. Whole-process wall times from
# hyperfine; medians, since the machine is shared.
#   bench/bench_startup.sh [QMERE_CLI] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "${1:-$here/../build/qmere-cli}")
runs=${2:-200}
command -v hyperfine >/dev/null || { echo "bench_startup: needs hyperfine (scripts/install-deps.sh test)" >&2; exit 1; }
[ -x "$cli" ] || { echo "bench_startup: no $cli (build first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-bench-startup-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/fresh" "$work/used/config/Corvane,LLC" "$work/used/data/qmere/news.example.net"
used=$work/used
cat >"$used/config/Corvane,LLC/qmere.ini" <<EOF
[Config]
Data=$used/data/qmere/
Server=news.example.net
Browser=
Max Threads=4
Kill pattern=spam eggs
Keep Text=0
Keep Desc=0
Keep Dup=1
Keep Header=0
Free Alert=500
Skip short=1
Skip limit=500
EOF
for ((i = 0; i < 10000; i++)); do printf '<%d.%08x@news.example.net>\n' "$i" "$((i * 2654435761 % 4294967296))"; done \
    >"$used/data/qmere/MSGLIST"
lists=$used/data/qmere/news.example.net
for ((i = 0; i < 300; i++)); do echo "alt.binaries.pictures.group$i"; done >"$lists/Groups.sub"
echo . >>"$lists/Groups.sub"
head -n 20 "$lists/Groups.sub" >"$lists/Groups.fet"
echo . >>"$lists/Groups.fet"
printf 'news.example.net 119\t0\t-\t-\nother.example 563\t1\tme\tsecret\n' >"$used/data/qmere/server.lst"

# One hyperfine run per profile, so that no wrapper sets the environment inside the timing;
# -N: no shell in between.
measure() {  # OUTPUT COMMAND...
    local out=$1
    shift
    hyperfine -N --style none --warmup 10 --runs "$runs" --export-json "$out" "$@" >/dev/null 2>&1
}
cmds=(/bin/true)
names=("/bin/true (starting a process)")
if command -v xdg-mime >/dev/null; then
    cmds+=("xdg-mime query default text/html")
    names+=("xdg-mime query default text/html (was run at every load)")
fi
measure "$work/peers.json" "${cmds[@]}"
XDG_CONFIG_HOME=$work/fresh/config XDG_DATA_HOME=$work/fresh/data \
    measure "$work/fresh.json" "$cli config"
XDG_CONFIG_HOME=$used/config XDG_DATA_HOME=$used/data measure "$work/used.json" "$cli config"
names+=("qmere-cli config, fresh profile" "qmere-cli config, profile in use")

python3 - "$work" "${names[@]}" <<'EOF'
import json, statistics, sys
results = [r for part in ("peers", "fresh", "used")
           for r in json.load(open(f"{sys.argv[1]}/{part}.json"))["results"]]
names = sys.argv[2:]
print(f"{'start-up, wall time (ms)':58} {'median':>7} {'mean':>7} {'min':>7}")
for name, r in zip(names, results):
    t = [x * 1000 for x in r["times"]]
    print(f"{name:58} {statistics.median(t):7.2f} {statistics.mean(t):7.2f} {min(t):7.2f}")
worst = statistics.median(results[-1]["times"]) * 1000
floor = statistics.median(results[0]["times"]) * 1000
print(f"qmere-cli config, profile in use: {worst / floor:.1f} x /bin/true; "
      f"goal under 10 ms: {'met' if worst < 10 else 'MISSED'}")
EOF
