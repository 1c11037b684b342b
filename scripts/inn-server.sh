#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs Debian's INN 2 as a throw-away news server on loopback for tests.
#
#   inn-server.sh install                        install inn2 (idempotent, non-interactive)
#   inn-server.sh start STATE_DIR PORT GROUP...  configure and start innd on 127.0.0.1:PORT
#   inn-server.sh post STATE_DIR ARTICLE...      inject articles, wait until readable
#   inn-server.sh post-batch STATE_DIR BATCH...  inject rnews batches ("#! rnews N" articles,
#                                                as qmere-mkspool --rnews writes them), wait
#                                                until the last article of each is readable
#   inn-server.sh auth STATE_DIR PORT USER PASS  after start: a second reader on PORT
#                                                that demands AUTHINFO USER/PASS
#   inn-server.sh stop STATE_DIR                 stop INN and restore the machine's set-up
#   inn-server.sh selftest                       end-to-end check of the above
#
# Must run as root (INN itself runs as user news). There is one INN per machine,
# so only one STATE_DIR can be active at a time; a crashed run is cleaned up by
# the next start. Environment knobs:
#   INN_START_TIMEOUT  seconds to wait for the greeting       (default 30)
#   INN_POST_TIMEOUT   seconds to wait for posted articles    (default 30)
#   INN_MAXARTSIZE     largest accepted article in bytes      (default 10485760)
set -euo pipefail

BIN=/usr/lib/news/bin
ETC=/etc/news
# Files under /etc/news this script rewrites; saved in STATE_DIR and put back at stop.
CONF_FILES=(inn.conf incoming.conf readers.conf)
# Group database files rewritten at start; also saved and put back.
DB_FILES=(active active.times newsgroups)
# Files of the AUTHINFO reader (auth); removed at stop.
AUTH_READERS=inn-server-auth.readers.conf
AUTH_PASSWD=inn-server-auth.passwd
OWNER_FILE=/run/inn-server.owner
LOCK_FILE=/run/lock/inn-server.lock

START_TIMEOUT=${INN_START_TIMEOUT:-30}
POST_TIMEOUT=${INN_POST_TIMEOUT:-30}
MAXARTSIZE=${INN_MAXARTSIZE:-10485760}

log() { echo "inn-server: $*" >&2; }
die() { log "error: $*"; exit 1; }

need_root() { [ "$(id -u)" -eq 0 ] || die "must run as root"; }

installed() {
    dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q 'install ok installed' &&
        [ -x "$BIN/innd" ] && [ -x "$BIN/rc.news" ]
}

as_news() { su -s /bin/sh news -c "$1" </dev/null; }

# Sets inn.conf's domain: when the host name carries none; without it the
# package set-up (and innd) cannot work out a fully qualified name.
ensure_domain() {
    local f=$ETC/inn.conf
    [ -f "$f" ] || return 0
    if grep -Eq '^domain:[[:space:]]*[^[:space:]]' "$f"; then return 0; fi
    local fqdn
    fqdn=$(timeout 5 hostname --fqdn 2>/dev/null || true)
    case "$fqdn" in *.*) return 0 ;; esac
    log "setting domain: localdomain in $f (host name has no domain)"
    if grep -Eq '^#?domain:' "$f"; then
        sed -i -E 's/^#?domain:.*/domain:                      localdomain/' "$f"
    else
        echo 'domain:                      localdomain' >>"$f"
    fi
}

# dpkg --configure -a, retried a few times: another apt run may hold the lock.
configure_pending() {
    local try
    for try in 1 2 3 4 5 6; do
        dpkg --configure -a </dev/null && return 0
        [ "$try" -lt 6 ] && sleep 10
    done
    return 1
}

cmd_install() {
    need_root
    if installed; then return 0; fi
    export DEBIAN_FRONTEND=noninteractive
    local apt=(apt-get -y -q --no-install-recommends -o DPkg::Lock::Timeout=300
               -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)
    local created_policy=0
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        # Keeps innd (port 119, every address), exim4 and cron from starting.
        printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
        chmod 755 /usr/sbin/policy-rc.d
        created_policy=1
    fi
    # shellcheck disable=SC2064
    [ "$created_policy" -eq 1 ] && trap "rm -f /usr/sbin/policy-rc.d" EXIT

    if ! apt-cache policy inn2 2>/dev/null | grep -q 'Candidate: [0-9]'; then
        apt-get update -q </dev/null
    fi
    # A half-configured earlier attempt: repair before installing more.
    if dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -Eq 'half|unpacked'; then
        ensure_domain
        configure_pending || true
    fi
    # Stale package lists give 404s: refresh them once and retry.
    if ! "${apt[@]}" install inn2-inews </dev/null; then
        apt-get update -q </dev/null
        "${apt[@]}" install inn2-inews </dev/null
    fi
    ensure_domain
    if ! "${apt[@]}" install inn2 </dev/null; then
        log "inn2 set-up failed; fixing inn.conf and retrying dpkg --configure -a"
        ensure_domain
        configure_pending
    fi
    installed || die "inn2 is not installed after apt-get"
    if [ "$created_policy" -eq 1 ]; then
        rm -f /usr/sbin/policy-rc.d
        trap - EXIT
    fi
}

confval() { "$BIN/innconfval" "$1"; }

# Sets KEY: VALUE in inn.conf, replacing an existing (or commented) line.
set_conf() {
    local key=$1 value=$2 f=$ETC/inn.conf
    if grep -Eq "^#?$key:" "$f"; then
        sed -i -E "0,/^#?$key:/s|^#?$key:.*|$key: $value|" "$f"
    else
        echo "$key: $value" >>"$f"
    fi
}

pid_alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

read_pidfile() { [ -f "$1" ] && tr -dc '0-9' <"$1" || true; }

# Opens fd 3 to the server and reads the greeting into GREETING. Returns non-zero
# when nothing answers. Closing is left to the caller (close_nntp).
open_nntp() {
    local port=$1
    GREETING=
    { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || return 1
    IFS= read -r -t 5 GREETING <&3 2>/dev/null || { exec 3>&-; return 1; }
    GREETING=${GREETING%$'\r'}
}
close_nntp() {
    printf 'QUIT\r\n' >&3 2>/dev/null || true
    exec 3>&-
}
nntp_cmd() {
    REPLY_LINE=
    printf '%s\r\n' "$1" >&3 || return 1
    IFS= read -r -t 5 REPLY_LINE <&3 2>/dev/null || return 1
    REPLY_LINE=${REPLY_LINE%$'\r'}
}

port_in_use() {
    { exec 4<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 1
    exec 4>&-
}

state_file() { echo "$1/state"; }

load_state() {
    local sf
    sf=$(state_file "$1")
    [ -f "$sf" ] || die "no INN state in $1 (was start run?)"
    # shellcheck disable=SC1090
    . "$sf"
}

# Wipes articles, overview and history and rebuilds an empty history database.
empty_spool() {
    local db articles overview
    db=$(confval pathdb)
    articles=$(confval patharticles)
    overview=$(confval pathoverview)
    [ -n "$db" ] && [ -n "$articles" ] && [ -n "$overview" ] || die "innconfval gave no paths"
    find "$articles" -mindepth 1 -delete
    find "$overview" -mindepth 1 ! -name DB_CONFIG -delete
    rm -f "$db"/history "$db"/history.*
    : >"$db/history"
    chown news:news "$db/history"
    as_news "cd '$db' && '$BIN/makedbz' -i -o" || die "makedbz failed"
}

# Stops the INN recorded in STATE_DIR and restores what start changed.
# Tolerates a half-finished start.
stop_state() {
    local dir=$1
    local INND_PID='' PORT='' rundir
    load_state "$dir"
    rundir=$(confval pathrun)
    local innd_pid
    innd_pid=$(read_pidfile "$rundir/innd.pid")
    [ -n "$innd_pid" ] || innd_pid=$INND_PID
    # Readers innd forked keep serving their connections after innd exits.
    local kids=()
    if pid_alive "$innd_pid"; then
        mapfile -t kids < <(ps -o pid= --ppid "$innd_pid" 2>/dev/null | tr -d ' ')
        "$BIN/ctlinnd" -t 20 shutdown "test finished" >/dev/null 2>&1 || true
    fi
    local p pids=()
    [ -n "$innd_pid" ] && pids+=("$innd_pid")
    for p in "${kids[@]}"; do [ -n "$p" ] && pids+=("$p"); done
    local f
    for f in "$rundir"/nnrpd*.pid; do
        [ -f "$f" ] || continue
        p=$(read_pidfile "$f")
        if pid_alive "$p"; then kill "$p" 2>/dev/null || true; pids+=("$p"); fi
        rm -f "$f"
    done
    for p in "${kids[@]}"; do pid_alive "$p" && kill "$p" 2>/dev/null || true; done
    local deadline=$((SECONDS + 15)) alive
    while :; do
        alive=()
        for p in "${pids[@]}"; do pid_alive "$p" && alive+=("$p"); done
        [ ${#alive[@]} -eq 0 ] && break
        if [ $SECONDS -ge $deadline ]; then
            log "processes ${alive[*]} still running after 15 s; killing them"
            kill -9 "${alive[@]}" 2>/dev/null || true
            sleep 0.5
            break
        fi
        sleep 0.2
    done
    rm -f "$rundir/innd.pid"

    # Leave an empty spool and the original group list and configuration.
    if [ -d "$dir/backup" ]; then
        if [ -f "$dir/backup/db/active" ]; then
            empty_spool || true
        fi
        local db
        db=$(confval pathdb)
        for f in "${DB_FILES[@]}"; do
            [ -f "$dir/backup/db/$f" ] && cp -p "$dir/backup/db/$f" "$db/$f"
        done
        for f in "${CONF_FILES[@]}"; do
            [ -f "$dir/backup/etc/$f" ] && cp -p "$dir/backup/etc/$f" "$ETC/$f"
        done
    fi
    rm -f "$ETC/$AUTH_READERS" "$ETC/$AUTH_PASSWD"
    if [ -f "$OWNER_FILE" ] && [ "$(cat "$OWNER_FILE")" = "$dir" ]; then
        rm -f "$OWNER_FILE"
    fi
    rm -f "$(state_file "$dir")"
}

with_lock() {
    mkdir -p "$(dirname "$LOCK_FILE")"
    exec 9>"$LOCK_FILE"
    flock -w 120 9 || die "another inn-server.sh holds $LOCK_FILE"
}

cmd_start() {
    need_root
    [ $# -ge 3 ] || die "usage: start STATE_DIR PORT GROUP..."
    local dir=$1 port=$2
    shift 2
    case "$port" in '' | *[!0-9]*) die "bad port '$port'" ;; esac
    [ "$port" -gt 1023 ] && [ "$port" -lt 65536 ] || die "port must be 1024..65535 (no innbind)"
    installed || die "inn2 is not installed; run '$0 install' first"
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    with_lock

    # A run that never reached stop: put its configuration back first.
    if [ -f "$OWNER_FILE" ]; then
        local prev
        prev=$(cat "$OWNER_FILE")
        if [ -f "$(state_file "$prev")" ]; then
            log "cleaning up the INN left running from $prev"
            stop_state "$prev"
        fi
        rm -f "$OWNER_FILE"
    fi
    local rundir
    rundir=$(confval pathrun)
    local other
    other=$(read_pidfile "$rundir/innd.pid")
    if pid_alive "$other"; then
        die "an innd not started by this script is running (pid $other); stop it first"
    fi
    if port_in_use "$port"; then die "port 127.0.0.1:$port is already in use"; fi

    # innd forks its readers with stdio on /dev/null; a wrong mode makes that fail.
    if [ "$(stat -c %a /dev/null)" != 666 ]; then
        log "/dev/null had mode $(stat -c %a /dev/null); restoring 666"
        chmod 666 /dev/null
    fi

    local db
    db=$(confval pathdb)
    rm -rf "$dir/backup"
    mkdir -p "$dir/backup/etc" "$dir/backup/db"
    local f
    for f in "${CONF_FILES[@]}"; do cp -p "$ETC/$f" "$dir/backup/etc/$f"; done
    for f in "${DB_FILES[@]}"; do [ -f "$db/$f" ] && cp -p "$db/$f" "$dir/backup/db/$f"; done
    printf 'PORT=%q\nINND_PID=\n' "$port" >"$(state_file "$dir")"
    echo "$dir" >"$OWNER_FILE"

    # From here on, any failure restores the machine.
    START_OK=0
    trap '[ "$START_OK" = 1 ] || { log "start failed; restoring"; stop_state "'"$dir"'" || true; }' EXIT

    ensure_domain
    set_conf port "$port"
    set_conf bindaddress 127.0.0.1
    # Setting only the IPv4 address keeps innd off every IPv6 address too.
    sed -i -E 's/^bindaddress6:/#bindaddress6:/' "$ETC/inn.conf"
    set_conf nnrpdpostport "$port"
    set_conf artcutoff 0
    set_conf maxartsize "$MAXARTSIZE"
    set_conf localmaxartsize "$MAXARTSIZE"
    set_conf doinnwatch false
    # The readers use the overview (OVER, HDR): make sure it is kept, whatever the
    # machine's inn.conf says.
    set_conf enableoverview true
    set_conf ovmethod tradindexed
    # A busy shared machine must not make nnrpd turn readers away.
    set_conf nnrpdloadlimit 0
    set_conf pathhost inn-test.localdomain
    set_conf organization '"test server"'

    # No feeding peers: every loopback connection goes straight to the reader.
    cat >"$ETC/incoming.conf" <<'EOF'
# Written by inn-server.sh for a loopback test: no feeding peers, so every
# connection from 127.0.0.1 is handed to nnrpd. Articles arrive through rnews.
streaming:          true
max-connections:    8
EOF
    cat >"$ETC/readers.conf" <<'EOF'
# Written by inn-server.sh for a loopback test: read and post from localhost.
auth "localhost" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    default: "<localhost>"
}
access "localhost" {
    users: "<localhost>"
    newsgroups: "*"
    access: RPA
    addcanlockuser: none
}
EOF

    empty_spool
    # Groups go straight into the database files: far faster than ctlinnd newgroup.
    local now g
    now=$(date +%s)
    # innd needs the control and junk pseudo-groups; keep the installed ones.
    local groups=(control junk)
    mapfile -t -O 2 groups < <(awk '$1 == "junk" || $1 ~ /^control(\.|$)/ { print $1 }' "$dir/backup/db/active" 2>/dev/null)
    for g in "$@"; do
        case "$g" in '' | *[[:space:]]* | *'/'*) die "bad group name '$g'" ;; esac
        groups+=("$g")
    done
    mapfile -t groups < <(printf '%s\n' "${groups[@]}" | sort -u)
    : >"$db/active"
    : >"$db/active.times"
    : >"$db/newsgroups"
    for g in "${groups[@]}"; do
        local flag=y
        case "$g" in junk | control | control.*) flag=n ;; esac
        printf '%s 0000000000 0000000001 %s\n' "$g" "$flag" >>"$db/active"
        printf '%s %s inn-server\n' "$g" "$now" >>"$db/active.times"
        printf '%s\t%s\n' "$g" "Test group $g" >>"$db/newsgroups"
    done
    chown news:news "$db/active" "$db/active.times" "$db/newsgroups"
    chmod 644 "$db/active" "$db/active.times" "$db/newsgroups"

    mkdir -p "$rundir"
    chown news:news "$rundir"
    chmod 775 "$rundir"
    touch "$db/.news.daily"
    chown news:news "$db/.news.daily"

    local logdir errlog_size
    logdir=$(confval pathlog)
    errlog_size=$(stat -c %s "$logdir/errlog" 2>/dev/null || echo 0)
    # fd 9 is our lock: innd must not inherit it.
    as_news "$BIN/rc.news" >"$dir/rc.news.log" 2>&1 9>&- ||
        die "rc.news failed: $(tail -n 5 "$dir/rc.news.log")"

    local deadline=$((SECONDS + START_TIMEOUT)) gone_since=''
    while :; do
        if open_nntp "$port"; then
            local greeting=$GREETING
            close_nntp
            case "$greeting" in
                200*) break ;;
                *) log "greeting: $greeting" ;;
            esac
        fi
        # innd puts itself in the background; if it is gone, waiting longer is useless.
        if pgrep -u news -x innd >/dev/null; then
            gone_since=''
        elif [ -z "$gone_since" ]; then
            gone_since=$SECONDS
        fi
        if [ $SECONDS -ge $deadline ] || { [ -n "$gone_since" ] && [ $((SECONDS - gone_since)) -ge 3 ]; }; then
            log "innd errlog:"
            tail -c +"$((errlog_size + 1))" "$logdir/errlog" 2>/dev/null | tail -n 20 >&2 || true
            tail -n 20 "$logdir/news.err" "$dir/rc.news.log" >&2 2>/dev/null || true
            if [ -n "$gone_since" ]; then die "innd exited without answering on 127.0.0.1:$port"; fi
            die "no 200 greeting on 127.0.0.1:$port within $START_TIMEOUT s"
        fi
        sleep 0.2
    done
    START_OK=1
    trap - EXIT
    printf 'PORT=%q\nINND_PID=%q\n' "$port" "$(read_pidfile "$rundir/innd.pid")" >"$(state_file "$dir")"
    log "innd ready on 127.0.0.1:$port"
}

# First Message-ID header of an article file, angle brackets included.
message_id() {
    awk 'BEGIN { IGNORECASE = 1 }
         /^\r?$/ { exit }
         tolower($0) ~ /^message-id:/ {
             sub(/^[^:]*:[ \t]*/, ""); sub(/\r$/, ""); sub(/[ \t]+$/, ""); print; exit }' "$1"
}

cmd_post() {
    need_root
    [ $# -ge 2 ] || die "usage: post STATE_DIR ARTICLE..."
    local dir=$1
    shift
    local PORT='' INND_PID=''
    load_state "$dir"
    local f mids=() mid
    for f in "$@"; do
        [ -f "$f" ] || die "no article file $f"
        mid=$(message_id "$f")
        [ -n "$mid" ] || die "$f has no Message-ID header"
        mids+=("$mid")
    done
    for f in "$@"; do
        # rnews hands the article over by IHAVE and keeps every header as written.
        # With -v it reports a rejection on stderr (there is no syslog to read here)
        # but still exits 0, so any output counts as a failure.
        if ! "$BIN/rnews" -N -v <"$f" 2>"$dir/rnews.err" || [ -s "$dir/rnews.err" ]; then
            die "rnews did not take $f: $(head -c 400 "$dir/rnews.err")"
        fi
    done
    # innd's log is buffered and rejections go to syslog: ask the server instead.
    local deadline=$((SECONDS + POST_TIMEOUT)) missing
    while :; do
        missing=()
        if open_nntp "$PORT"; then
            for mid in "${mids[@]}"; do
                if ! nntp_cmd "STAT $mid" || [ "${REPLY_LINE%% *}" != 223 ]; then
                    missing+=("$mid")
                fi
            done
            close_nntp
        else
            missing=("${mids[@]}")
        fi
        [ ${#missing[@]} -eq 0 ] && return 0
        if [ $SECONDS -ge $deadline ]; then
            die "not readable after $POST_TIMEOUT s: ${missing[*]} (rejected? check Path/Date/Newsgroups headers)"
        fi
        sleep 0.2
    done
}

cmd_post_batch() {
    need_root
    [ $# -ge 2 ] || die "usage: post-batch STATE_DIR BATCH..."
    local dir=$1
    shift
    local PORT='' INND_PID=''
    load_state "$dir"
    local batch mids=() mid count=0
    for batch in "$@"; do
        [ -f "$batch" ] || die "no batch file $batch"
        mid=$(grep -a -i '^message-id:' "$batch" | tail -n 1 | sed -E 's/^[^:]*:[[:space:]]*//; s/\r$//')
        [ -n "$mid" ] || die "$batch holds no Message-ID"
        mids+=("$mid")
        count=$((count + $(grep -a -c '^#! rnews ' "$batch")))
    done
    for batch in "$@"; do
        # A batch is handed over in one rnews run; rejections show on stderr (see post).
        if ! "$BIN/rnews" -N -v <"$batch" 2>"$dir/rnews.err" || [ -s "$dir/rnews.err" ]; then
            die "rnews did not take $batch: $(head -c 400 "$dir/rnews.err")"
        fi
    done
    # innd files the articles in order: the last of each batch readable means all are.
    local deadline=$((SECONDS + POST_TIMEOUT + count / 200)) missing
    while :; do
        missing=()
        if open_nntp "$PORT"; then
            for mid in "${mids[@]}"; do
                if ! nntp_cmd "STAT $mid" || [ "${REPLY_LINE%% *}" != 223 ]; then
                    missing+=("$mid")
                fi
            done
            close_nntp
        else
            missing=("${mids[@]}")
        fi
        [ ${#missing[@]} -eq 0 ] && return 0
        [ $SECONDS -ge $deadline ] && die "not readable in time: ${missing[*]}"
        sleep 0.5
    done
}

cmd_auth() {
    need_root
    [ $# -eq 4 ] || die "usage: auth STATE_DIR PORT USER PASSWORD"
    local dir=$1 port=$2 user=$3 pass=$4
    local PORT='' INND_PID=''
    load_state "$dir"
    case "$port" in '' | *[!0-9]*) die "bad port '$port'" ;; esac
    [ "$port" -gt 1023 ] || die "port must be above 1023"
    case "$user" in '' | *[:[:space:]\"]*) die "bad user name '$user'" ;; esac
    if port_in_use "$port"; then die "port 127.0.0.1:$port is already in use"; fi
    # ckpasswd -f reads user:crypt(3) lines; perl comes with inn2.
    local hash
    hash=$(perl -e 'my @c = ("a".."z", "A".."Z", 0..9);
                    my $salt = join "", map { $c[rand @c] } 1..16;
                    print crypt($ARGV[0], "\$6\$$salt\$")' "$pass")
    case "$hash" in '$6$'*) ;; *) die "crypt(3) gave no SHA-512 hash" ;; esac
    printf '%s:%s\n' "$user" "$hash" >"$ETC/$AUTH_PASSWD"
    chown news:news "$ETC/$AUTH_PASSWD"
    chmod 640 "$ETC/$AUTH_PASSWD"
    # No anonymous access at all: every command but AUTHINFO gets 480.
    cat >"$ETC/$AUTH_READERS" <<EOF
# Written by inn-server.sh: a reader that demands AUTHINFO.
auth "test-users" {
    hosts: "*"
    auth: "ckpasswd -f $ETC/$AUTH_PASSWD"
}
access "test-users" {
    users: "$user"
    newsgroups: "*"
    access: RPA
}
EOF
    chmod 644 "$ETC/$AUTH_READERS"
    local rundir
    rundir=$(confval pathrun)
    as_news "$BIN/nnrpd -D -4 127.0.0.1 -p $port -c $AUTH_READERS" 9>&- ||
        die "nnrpd would not start"
    local deadline=$((SECONDS + START_TIMEOUT))
    while :; do
        if open_nntp "$port"; then
            local greeting=$GREETING
            close_nntp
            case "$greeting" in 20[01]*) break ;; esac
            log "greeting: $greeting"
        fi
        [ $SECONDS -lt $deadline ] || die "no greeting from nnrpd on 127.0.0.1:$port within $START_TIMEOUT s"
        sleep 0.2
    done
    ls "$rundir"/nnrpd*.pid >/dev/null 2>&1 || log "warning: nnrpd wrote no pid file in $rundir"
    log "AUTHINFO reader ready on 127.0.0.1:$port"
}

cmd_stop() {
    need_root
    [ $# -eq 1 ] || die "usage: stop STATE_DIR"
    local dir
    dir=$(cd "$1" && pwd) || die "no state dir $1"
    [ -f "$(state_file "$dir")" ] || { log "nothing to stop in $dir"; return 0; }
    with_lock
    stop_state "$dir"
}

cmd_selftest() {
    exec "$(dirname "$0")/../tests/inn/selftest.sh" "$@"
}

main() {
    local cmd=${1:-}
    [ $# -gt 0 ] && shift
    case "$cmd" in
        install) cmd_install "$@" ;;
        start) cmd_start "$@" ;;
        post) cmd_post "$@" ;;
        post-batch) cmd_post_batch "$@" ;;
        auth) cmd_auth "$@" ;;
        stop) cmd_stop "$@" ;;
        selftest) cmd_selftest "$@" ;;
        *) sed -n '3,21p' "$0" >&2; exit 2 ;;
    esac
}

main "$@"
