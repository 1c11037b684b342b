#!/usr/bin/env bash
# qmere-cli fetch against a real INN: a picture uuencoded and split over three articles
# ("(1/3)".."(3/3)") and a picture as a MIME base64 attachment are posted, fetched with
# two readers into a throw-away profile and data folder, and compared byte for byte.
# Needs root (INN), python3 and sharutils' uuencode. Usage: fetch_test.sh [QMERE_CLI]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../../scripts/inn-server.sh"
# shellcheck source=../../scripts/inn-work.sh
. "$here/../../scripts/inn-work.sh"
cli=${1:-${QM_CLI:-$here/../../build/qmere-cli}}
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
for tool in python3 uuencode split; do
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
if "$inn" start "$state" "$port" "$group" >"$work/start.log" 2>&1; then
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
finish
