#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# End-to-end check of scripts/inn-server.sh: installs INN if needed, starts it on
# a free loopback port with two groups, injects a uuencoded, a MIME base64 and a
# plain article, reads them back over NNTP, stops it and checks that the machine's
# INN set-up is as before. Needs root, python3 and sharutils' uuencode/uudecode.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
inn="$here/../../scripts/inn-server.sh"
# shellcheck source=../../scripts/inn-work.sh
. "$here/../../scripts/inn-work.sh"
passed=0
failed=0

ok() { passed=$((passed + 1)); echo "ok   - $*"; }
bad() { failed=$((failed + 1)); echo "FAIL - $*"; }
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then ok "$what"; else bad "$what"; fi
}
finish() {
    echo "inn selftest: $passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit $?
}
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

[ "$(id -u)" -eq 0 ] || { bad "must run as root (INN is installed and started system-wide)"; finish; }
for tool in python3 uuencode uudecode; do
    command -v "$tool" >/dev/null || { bad "$tool is missing (scripts/install-deps.sh test)"; finish; }
done

t0=$(now)
if "$inn" install >/tmp/inn-selftest-install.$$ 2>&1; then
    ok "install"
else
    bad "install failed:"; tail -n 20 /tmp/inn-selftest-install.$$
    rm -f /tmp/inn-selftest-install.$$
    finish
fi
rm -f /tmp/inn-selftest-install.$$
t_install=$(elapsed "$t0" "$(now)")

inn_work /tmp/inn-selftest.XXXXXX

# What start must leave untouched once stop has run.
fingerprint() {
    sha256sum /etc/news/inn.conf /etc/news/incoming.conf /etc/news/readers.conf \
        /var/lib/news/active /var/lib/news/newsgroups 2>&1
}
before=$(fingerprint)

port=$(free_port)
g_bin=test.inn.binaries
g_text=test.inn.text
stamp="$$.$(date +%s)"
date_hdr=$(date -R)

# --- the three articles -------------------------------------------------------
head -c 2345 /dev/urandom >"$work/small.bin"
head -c 5000 /dev/urandom >"$work/mime.bin"
{
    printf 'Path: poster.example!not-for-mail\nFrom: Tester <tester@example.com>\n'
    printf 'Newsgroups: %s\nSubject: small.bin (1/1) uuencoded\n' "$g_bin"
    printf 'Date: %s\nMessage-ID: <uu.%s@selftest.example>\n\n' "$date_hdr" "$stamp"
    (cd "$work" && uuencode small.bin small.bin)
} >"$work/uu.art"
python3 - "$work/mime.bin" "$work/mime.art" "$g_bin" "<mime.$stamp@selftest.example>" "$date_hdr" <<'EOF'
import sys
from email.message import EmailMessage
from email.policy import default
src, out, group, mid, date = sys.argv[1:]
msg = EmailMessage()
msg["Path"] = "poster.example!not-for-mail"
msg["From"] = "Tester <tester@example.com>"
msg["Newsgroups"] = group
msg["Subject"] = "mime.bin as a MIME attachment"
msg["Date"] = date
msg["Message-ID"] = mid
msg.set_content("A binary attachment follows.\n")
with open(src, "rb") as f:
    msg.add_attachment(f.read(), maintype="application", subtype="octet-stream", filename="mime.bin")
with open(out, "wb") as f:
    f.write(msg.as_bytes(policy=default.clone(linesep="\n")))
EOF
{
    printf 'Path: poster.example!not-for-mail\nFrom: Tester <tester@example.com>\n'
    printf 'Newsgroups: %s\nSubject: plain text\n' "$g_text"
    printf 'Date: %s\nMessage-ID: <plain.%s@selftest.example>\n\n' "$date_hdr" "$stamp"
    printf 'First line.\n.a line that starts with a dot\n..two dots\n\nlast line\n'
} >"$work/plain.art"

# --- start, post ----------------------------------------------------------------
t0=$(now)
if "$inn" start "$state" "$port" "$g_bin" "$g_text"; then
    started=1
    ok "start on 127.0.0.1:$port"
    innd_pid=$(tr -dc '0-9' </run/news/innd.pid)
else
    bad "start"
    finish
fi
t_start=$(elapsed "$t0" "$(now)")

t0=$(now)
check "post three articles" "$inn" post "$state" "$work/uu.art" "$work/mime.art" "$work/plain.art"
t_post=$(elapsed "$t0" "$(now)")

# A rejected article must make post fail, at once rather than at the timeout.
sed -e "s/^Newsgroups: .*/Newsgroups: test.inn.absent/" -e "s/^Message-ID: <plain\./Message-ID: <absent./" \
    "$work/plain.art" >"$work/absent.art"
t0=$(now)
if INN_POST_TIMEOUT=10 "$inn" post "$state" "$work/absent.art" 2>/dev/null; then
    bad "post to a group the server lacks was reported as accepted"
else
    ok "post to a group the server lacks fails (in $(elapsed "$t0" "$(now)") s)"
fi

# --- read back over NNTP ----------------------------------------------------------
python3 - "$port" "$work" "$stamp" "$g_bin" "$g_text" <<'EOF' >"$work/nntp.out"
import email, email.policy, socket, subprocess, sys
port, work, stamp, g_bin, g_text = sys.argv[1:]
results = []
def check(what, cond):
    results.append(what)
    print(("ok   - " if cond else "FAIL - ") + what)

sock = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
rf = sock.makefile("rb")
def line():
    return rf.readline().rstrip(b"\r\n")
def cmd(c):
    sock.sendall(c.encode() + b"\r\n")
    return line()
def multiline():
    out = []
    while True:
        l = line()
        if l == b".":
            return b"".join(x + b"\n" for x in out)
        out.append(l[1:] if l.startswith(b".") else l)

greeting = line()
check("greeting is 200", greeting.startswith(b"200"))
counts = {}
for g in (g_bin, g_text):
    r = cmd("GROUP " + g).split()
    counts[g] = int(r[1]) if r and r[0] == b"211" else -1
check("GROUP counts %s = 2, %s = 1" % (g_bin, g_text), counts == {g_bin: 2, g_text: 1})
check("three articles across the groups", sum(counts.values()) == 3)

def body_of_file(name):
    data = open(f"{work}/{name}", "rb").read()
    return data.split(b"\n\n", 1)[1]

bodies = {}
for name in ("uu", "mime", "plain"):
    mid = f"<{name}.{stamp}@selftest.example>"
    r = cmd("BODY " + mid)
    got = multiline() if r.startswith(b"222") else None
    bodies[name] = got
    check(f"BODY {name} is byte-identical to the posted body", got == body_of_file(f"{name}.art"))

r = cmd(f"HEAD <plain.{stamp}@selftest.example>")
head = multiline() if r.startswith(b"221") else b""
check("HEAD keeps Subject and Message-ID as written",
      b"Subject: plain text\n" in head and f"Message-ID: <plain.{stamp}@selftest.example>\n".encode() in head)

# Decode what the server returned and compare with the original files.
if bodies["uu"] is not None:
    with open(f"{work}/uu.got", "wb") as f:
        f.write(bodies["uu"])
    subprocess.run(["uudecode", "-o", f"{work}/small.got", f"{work}/uu.got"], check=False)
    try:
        same = open(f"{work}/small.got", "rb").read() == open(f"{work}/small.bin", "rb").read()
    except OSError:
        same = False
    check("uudecode of the served body equals the original binary", same)
else:
    check("uudecode of the served body equals the original binary", False)

r = cmd(f"ARTICLE <mime.{stamp}@selftest.example>")
art = multiline() if r.startswith(b"220") else b""
parts = [p for p in email.message_from_bytes(art, policy=email.policy.default).iter_attachments()] if art else []
payload = parts[0].get_content() if parts else None
check("MIME attachment served back equals the original binary",
      payload == open(f"{work}/mime.bin", "rb").read())
cmd("QUIT")
EOF
cat "$work/nntp.out"
n_ok=$(grep -c '^ok ' "$work/nntp.out")
n_bad=$(grep -c '^FAIL ' "$work/nntp.out")
passed=$((passed + n_ok))
failed=$((failed + n_bad))
[ "$n_ok" -gt 0 ] || bad "NNTP dialogue produced no results"

# --- a second reader that demands AUTHINFO ----------------------------------------
auth_port=$(free_port)
if "$inn" auth "$state" "$auth_port" tester 'pass word'; then
    ok "AUTHINFO reader on 127.0.0.1:$auth_port"
    auth_pid=$(tr -dc '0-9' <"/run/news/nnrpd-$auth_port.pid" 2>/dev/null)
    python3 - "$auth_port" "$g_bin" <<'EOF' >"$work/auth.out"
import socket, sys
port, group = sys.argv[1:]
def dialogue(cmds):
    s = socket.create_connection(("127.0.0.1", int(port)), timeout=10)
    f = s.makefile("rb")
    replies = [f.readline().split(b" ", 1)[0]]
    for c in cmds:
        s.sendall(c.encode() + b"\r\n")
        replies.append(f.readline().split(b" ", 1)[0])
    s.close()
    return [r.decode() for r in replies]
def check(what, got, want):
    print(("ok   - " if got == want else "FAIL - ") + f"{what}: {got}")
check("no access without AUTHINFO", dialogue(["GROUP " + group]), ["200", "480"])
check("AUTHINFO then GROUP",
      dialogue(["AUTHINFO USER tester", "AUTHINFO PASS pass word", "GROUP " + group]),
      ["200", "381", "281", "211"])
check("wrong password refused",
      dialogue(["AUTHINFO USER tester", "AUTHINFO PASS nope", "GROUP " + group]),
      ["200", "381", "481", "480"])
EOF
    cat "$work/auth.out"
    passed=$((passed + $(grep -c '^ok ' "$work/auth.out")))
    failed=$((failed + $(grep -c '^FAIL ' "$work/auth.out")))
else
    bad "AUTHINFO reader"
fi

# --- stop -----------------------------------------------------------------------
t0=$(now)
check "stop" "$inn" stop "$state"
t_stop=$(elapsed "$t0" "$(now)")
started=0
port_open() {
    { exec 4<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 1
    exec 4>&-
}
if port_open "$port"; then
    bad "port $port still answers after stop"
else
    ok "port $port is closed after stop"
fi
check "innd (pid ${innd_pid:-?}) has exited" test -n "${innd_pid:-}" -a ! -d "/proc/${innd_pid:-0}"
after=$(fingerprint)
if [ "$before" = "$after" ]; then
    ok "configuration and group list restored"
else
    bad "configuration differs after stop:"
    diff <(echo "$before") <(echo "$after")
fi
if [ -n "${auth_pid:-}" ] && [ ! -d "/proc/$auth_pid" ] && ! port_open "$auth_port"; then
    ok "AUTHINFO reader (pid $auth_pid) stopped"
else
    bad "AUTHINFO reader (pid ${auth_pid:-?}) still there or never recorded"
fi
check "AUTHINFO files removed" test -z "$(ls /etc/news/inn-server-auth* 2>/dev/null)"
check "/dev/null is still mode 666" test "$(stat -c %a /dev/null)" = 666

echo "timings (s): install $t_install, start $t_start, post $t_post, stop $t_stop"
finish
