#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# qmere-cli fetch against a real INN: a picture uuencoded and split over three articles
# ("(1/3)".."(3/3)") and a picture as a MIME base64 attachment are posted, fetched with
# two readers into a throw-away profile and data folder, and compared byte for byte; the
# split picture again through an NZB of its articles (qmere-cli nzb).
# Then, on spools of qmere-mkspool: reading through the overview and article by article
# give the same files, lists and positions; INN as the fill server of the fixture server
# lacking a tenth of them gives them too; a first visit takes exactly the newest
# articles, or those of the last days; a connection cut with commands in flight (its
# relay killed) loses and repeats nothing. What was asked is read from the client's
# own writes (strace).
# Needs root (INN), python3, strace and sharutils' uuencode.
# Usage: fetch_test.sh [QMERE_CLI] (the tools are looked for beside it, in tools/)
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../../scripts/inn-server.sh"
# shellcheck source=../../scripts/inn-work.sh
. "$here/../../scripts/inn-work.sh"
cli=${1:-${QM_CLI:-$here/../../build/qmere-cli}}
build=$(cd "$(dirname "$cli")" && pwd)
mkspool=$build/tools/newsserver/qmere-mkspool
relay=$build/tools/relay/qmere-relay
passed=0
failed=0

ok() { passed=$((passed + 1)); echo "ok   - $*"; }
bad() { failed=$((failed + 1)); echo "FAIL - $*"; }
finish() {
    echo "inn fetch: $passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit $?
}

[ "$(id -u)" -eq 0 ] || { bad "must run as root (INN is started system-wide)"; finish; }
[ -x "$cli" ] || { bad "qmere-cli not found at $cli"; finish; }
for tool in python3 uuencode split strace; do
    command -v "$tool" >/dev/null || { bad "$tool is missing (scripts/install-deps.sh test)"; finish; }
done
"$inn" install >/dev/null 2>&1 || { bad "INN install failed"; finish; }

inn_work

port=$(free_port)
group=test.inn.pictures
stamp="$$.$(date +%s)"
date_hdr=$(date -R)

# --- the articles ----------------------------------------------------------------
head -c 20000 /dev/urandom >"$work/split.jpg"
head -c 7000 /dev/urandom >"$work/mime.gif"
(cd "$work" && uuencode split.jpg split.jpg >split.uue)
lines=$(wc -l <"$work/split.uue")
split -l $(((lines + 2) / 3)) -d -a 1 "$work/split.uue" "$work/part."
for i in 1 2 3; do
    {
        printf 'Path: poster.example!not-for-mail\nFrom: Tester <tester@example.com>\n'
        printf 'Newsgroups: %s\nSubject: split.jpg (%d/3)\n' "$group" "$i"
        printf 'Date: %s\nMessage-ID: <split%d.%s@fetch.example>\n\n' "$date_hdr" "$i" "$stamp"
        cat "$work/part.$((i - 1))"
    } >"$work/split$i.art"
done
python3 - "$work/mime.gif" "$work/mime.art" "$group" "<mime.$stamp@fetch.example>" "$date_hdr" <<'PY'
import sys
from email.message import EmailMessage
from email.policy import default
src, out, group, mid, date = sys.argv[1:]
msg = EmailMessage()
msg["Path"] = "poster.example!not-for-mail"
msg["From"] = "Tester <tester@example.com>"
msg["Newsgroups"] = group
msg["Subject"] = "mime.gif attached"
msg["Date"] = date
msg["Message-ID"] = mid
msg.set_content("A picture follows.\n")
with open(src, "rb") as f:
    msg.add_attachment(f.read(), maintype="image", subtype="gif", filename="mime.gif")
with open(out, "wb") as f:
    f.write(msg.as_bytes(policy=default.clone(linesep="\n")))
PY

# --- INN ---------------------------------------------------------------------------
same=test.inn.same
many=test.inn.many
dated=test.inn.dated
cut=test.inn.cut
"$mkspool" --rnews "$work/same.rnews" --spool "$work/spool" --group "$same" --articles 300 \
    --picture-every 10 --picture-bytes 3000 --encoding uu >/dev/null
"$mkspool" --rnews "$work/many.rnews" --group "$many" --articles 3000 --picture-every 50 \
    --picture-bytes 2000 --seed 2 >/dev/null
# An hour apart, the first ten days ago and half an hour: the last 3 days are the newest 72.
"$mkspool" --rnews "$work/dated.rnews" --group "$dated" --articles 240 --picture-every 0 \
    --start now-862200s --step-seconds 3600 --seed 3 >/dev/null
"$mkspool" --rnews "$work/cut.rnews" --group "$cut" --articles 600 --picture-every 3 \
    --picture-bytes 20000 --seed 4 >/dev/null
if "$inn" start "$state" "$port" "$group" "$same" "$many" "$dated" "$cut" \
    >"$work/start.log" 2>&1; then
    started=1
    ok "INN started on 127.0.0.1:$port"
else
    bad "INN did not start:"; tail -n 20 "$work/start.log"; finish
fi
if "$inn" post "$state" "$work/split1.art" "$work/split2.art" "$work/split3.art" \
    "$work/mime.art" >"$work/post.log" 2>&1; then
    ok "four articles posted"
else
    bad "post failed:"; tail -n 20 "$work/post.log"; finish
fi

# --- fetch -------------------------------------------------------------------------
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/share"
if "$cli" fetch --server "127.0.0.1:$port" --threads 2 "$group" >"$work/fetch.out" 2>"$work/fetch.err"; then
    ok "qmere-cli fetch exits 0"
else
    bad "qmere-cli fetch failed ($?):"; tail -n 20 "$work/fetch.err" "$work/fetch.out"
fi
news="$XDG_DATA_HOME/qmere/$group/news.dat"
for name in split.jpg mime.gif; do
    if cmp -s "$work/$name" "$news/$name"; then
        ok "$name decoded byte for byte"
    else
        bad "$name differs or is missing in $news"; ls -l "$news" 2>/dev/null
    fi
done
if [ -s "$XDG_DATA_HOME/qmere/$group/Last" ]; then ok "Last written"; else bad "no Last file"; fi

# A second run fetches nothing again.
"$cli" fetch --server "127.0.0.1:$port" "$group" >"$work/again.out" 2>&1
if grep -q "^$group -- " "$work/again.out"; then
    bad "the second run fetched a body again"
else
    ok "the second run fetches no body again"
fi

# The same uuencoded set through an NZB that lists its parts out of order, fetched by
# message-id over two connections into another data folder.
cat >"$work/split.nzb" <<NZB
<?xml version="1.0" encoding="iso-8859-1" ?>
<nzb xmlns="http://www.newzbin.com/DTD/2003/nzb">
 <file poster="tester@example.com" date="0" subject="split.jpg (1/3)">
  <groups><group>$group</group></groups>
  <segments>
   <segment bytes="10000" number="3">split3.$stamp@fetch.example</segment>
   <segment bytes="10000" number="1">&lt;split1.$stamp@fetch.example&gt;</segment>
   <segment bytes="10000" number="2">split2.$stamp@fetch.example</segment>
  </segments>
 </file>
</nzb>
NZB
if XDG_CONFIG_HOME="$work/nzbconfig" XDG_DATA_HOME="$work/nzbshare" "$cli" nzb --server "127.0.0.1:$port" --threads 2 \
    "$work/split.nzb" >"$work/nzb.out" 2>&1 &&
    cmp -s "$work/split.jpg" "$work/nzbshare/qmere/nzb/split/split.jpg"; then
    ok "an NZB of the uuencoded set gives split.jpg byte for byte"
else
    bad "qmere-cli nzb of the uuencoded set:"; tail -n 20 "$work/nzb.out"
fi

if "$inn" post-batch "$state" "$work/same.rnews" "$work/many.rnews" "$work/dated.rnews" \
    "$work/cut.rnews" >"$work/batch.log" 2>&1; then
    ok "4,140 generated articles posted"
else
    bad "post-batch failed:"; tail -n 20 "$work/batch.log"; finish
fi

# fetch_in HOME OUT ARGS...: qmere-cli fetch with its own profile and data under HOME; the
# command lines it wrote go to OUT.commands, its output to OUT.out and OUT.err.
fetch_in() {
    local home=$1 out=$2
    shift 2
    XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/share" \
        strace -f -qq -e trace=sendto -e signal=none -s 100000 -o "$out.trace" \
        "$cli" fetch --threads 1 "$@" >"$out.out" 2>"$out.err"
    local status=$?
    grep -ao '\(ARTICLE\|BODY\|OVER\|XOVER\|HDR\|STAT\) [^\\]*' "$out.trace" >"$out.commands" || true
    return $status
}
# asked KIND OUT: the article numbers asked for with ARTICLE or BODY, in order.
asked() { sed -n 's/^\(ARTICLE\|BODY\) \([0-9]*\)$/\2/p' "$1.commands"; }
# The data a run left that must not depend on the way it read: files, picture lists without
# their dates, positions, the message-ids (their order follows the turns, which differ).
summary() {
    local data=$1/share/qmere
    (cd "$data" && find "$same" -path '*news.dat/*' -type f -exec md5sum {} + | sort)
    cut -f1,2,4 "$data/$same/data.lst" | sort
    echo "Last $(cat "$data/$same/Last")"
    sort "$data/MSGLIST"
}

# --- the overview and the walk ---------------------------------------------------------
# (With "Skip short" on, the walk judges by the Lines header, 0 when there is none, and the
# overview by the server's count: they differ for articles without the header, which the
# generated ones always have.)
for way in overview walk; do
    home=$work/$way
    XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/share" \
        "$cli" config "Skip short=1" "Skip limit=3" "Kill pattern=part 1[0-9]$" "First visit=0" \
        >/dev/null 2>&1
    extra=()
    [ "$way" = walk ] && extra=(--no-overview)
    fetch_in "$home" "$work/$way" --server "127.0.0.1:$port" "${extra[@]}" "$same" ||
        bad "the $way run failed: $(tail -n 3 "$work/$way.err")"
    summary "$home" >"$work/$way.summary"
done
if grep -q '^OVER ' "$work/overview.commands" && grep -q '^ARTICLE ' "$work/overview.commands" &&
    ! grep -q '^\(OVER\|ARTICLE\) ' "$work/walk.commands"; then
    ok "the overview run read through OVER and ARTICLE, the walk with HEAD and BODY"
else
    bad "the two runs did not read their own ways"
fi
pictures=$(grep -c 'news.dat/' "$work/walk.summary")
if [ "$pictures" -ge 30 ] && cmp -s "$work/overview.summary" "$work/walk.summary"; then
    ok "overview and walk give the same $pictures files, lists, positions and message-ids"
else
    bad "overview and walk differ ($pictures files):"
    diff "$work/walk.summary" "$work/overview.summary" | head -n 10
fi
if grep -q "^Exclude  Talk about the pictures, part 1[0-9]$" "$work/overview.out"; then
    ok "the kill pattern is applied to the overview's subjects"
else
    bad "no subject excluded through the overview"
fi

# --- INN as the fill server of the fixture server ----------------------------------------
# The same articles served by the fixture server, which lacks every tenth (the pictures):
# with INN as its fill server the run leaves what the overview run on INN left.
"$build/tools/newsserver/qmere-newsd" --spool "$work/spool" --missing "$(seq -s, 10 10 300)" \
    >"$work/newsd.out" 2>&1 &
newsd_pid=$!
for _ in $(seq 50); do grep -qs '^port ' "$work/newsd.out" && break; sleep 0.1; done
newsd_port=$(sed -n 's/^port //p' "$work/newsd.out")
home=$work/fill
XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/share" \
    "$cli" config "Skip short=1" "Skip limit=3" "Kill pattern=part 1[0-9]$" "First visit=0" \
    >/dev/null 2>&1
fetch_in "$home" "$work/fill" --server "127.0.0.1:$newsd_port" --fill-server "127.0.0.1:$port" \
    "$same" || bad "the run with a fill server failed: $(tail -n 3 "$work/fill.err")"
{ kill "$newsd_pid" && wait "$newsd_pid"; } 2>/dev/null
summary "$home" >"$work/fill.summary"
filled=$(grep -c '^ARTICLE <' "$work/fill.commands")
if cmp -s "$work/overview.summary" "$work/fill.summary" && [ "$filled" -eq 30 ] &&
    grep -q ', 30 from fill servers$' "$work/fill.out"; then
    ok "INN as fill server gives the 30 articles the fixture server lacks, asked by message-id"
else
    bad "with INN as fill server: $filled asked by message-id, $(tail -n 1 "$work/fill.out")"
    diff "$work/overview.summary" "$work/fill.summary" | head -n 10
fi

# --- first visits ------------------------------------------------------------------------
fetch_in "$work/newest" "$work/newest" --server "127.0.0.1:$port" --newest 100 "$many" ||
    bad "the --newest run failed"
numbers=$(asked "$work/newest")
if [ "$(echo "$numbers" | wc -l)" -eq 100 ] && [ "$(echo "$numbers" | sort -n | head -n 1)" = 2901 ] &&
    [ "$(cat "$work/newest/share/qmere/$many/Last")" = 3000 ]; then
    ok "a never-read group of 3,000 with --newest 100 gets exactly 2901..3000"
else
    bad "--newest 100 asked for $(echo "$numbers" | wc -l) articles from $(echo "$numbers" | sort -n | head -n 1)"
fi
fetch_in "$work/since" "$work/since" --server "127.0.0.1:$port" --since 3 "$dated" ||
    bad "the --since run failed"
numbers=$(asked "$work/since")
probes=$(grep -c '^HDR Date ' "$work/since.commands")
if [ "$(echo "$numbers" | wc -l)" -eq 72 ] && [ "$(echo "$numbers" | sort -n | head -n 1)" = 169 ] &&
    [ "$probes" -le 12 ]; then
    ok "--since 3 starts at the first article of the last 3 days ($probes HDR Date probes)"
else
    bad "--since 3 asked for $(echo "$numbers" | wc -l) articles from $(echo "$numbers" | sort -n | head -n 1), $probes probes"
fi

# --- a connection cut with commands in flight -----------------------------------------------
"$relay" --target "127.0.0.1:$port" --delay-ms 20 --rate-mbit 20 >"$work/relay.out" 2>&1 &
relay_pid=$!
for _ in $(seq 50); do grep -q '^port ' "$work/relay.out" && break; sleep 0.1; done
relay_port=$(sed -n 's/^port //p' "$work/relay.out")
home=$work/cut
XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/share" "$cli" config "First visit=0" >/dev/null 2>&1
fetch_in "$home" "$work/cut1" --server "127.0.0.1:$relay_port" "$cut" &
fetch_pid=$!
for _ in $(seq 300); do
    decoded=$(grep -c '^Decoded file' "$work/cut1.out" 2>/dev/null)
    [ "${decoded:-0}" -ge 20 ] && break
    sleep 0.1
done
{ kill -9 "$relay_pid" && wait "$relay_pid"; } 2>/dev/null
wait "$fetch_pid"
first_status=$?
last1=$(cat "$home/share/qmere/$cut/Last" 2>/dev/null || echo 0)
fetch_in "$home" "$work/cut2" --server "127.0.0.1:$port" "$cut" || bad "the run after the cut failed"
news="$home/share/qmere/$cut/news.dat"
again=$(asked "$work/cut2" | sort -n | head -n 1)
if [ "$first_status" -ne 0 ] && [ "$last1" -gt 0 ] && [ "$last1" -lt 600 ] &&
    [ "$again" = $((last1 + 1)) ]; then
    ok "the cut run stopped at $last1 (exit $first_status); the next asked again from $again"
else
    bad "cut at $last1 (exit $first_status), asked again from $again"
fi
copies=$(find "$news" -name '1_*' | wc -l)
if [ "$(find "$news" -type f | wc -l)" -eq 200 ] && [ "$copies" -eq 0 ] &&
    [ "$(wc -l <"$home/share/qmere/$cut/data.lst")" -eq 200 ] &&
    [ "$(sort -u "$home/share/qmere/MSGLIST" | wc -l)" -eq 600 ]; then
    ok "after the cut every picture is there once, listed once, and all 600 ids are known"
else
    bad "after the cut: $(find "$news" -type f | wc -l) files, $copies copies," \
        "$(wc -l <"$home/share/qmere/$cut/data.lst") listed"
fi
finish
