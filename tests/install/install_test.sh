#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs a build into a throw-away folder (DESTDIR, prefix /usr) as "make install" does
# (stripped: no debug information in the install), checks the desktop entry,
# the metainfo, the man pages, the bash completion and the systemd units with their own tools,
# then runs the installed qmere-cli and qmere (offscreen) from there with the tree read-only:
# they must find their resources and the banner plug-in in the install and write nothing
# below it. As root the programs run as "nobody" in a mount namespace in which the build and
# source folders are hidden under empty mounts; otherwise strace shows that they were not
# touched.
#   tests/install/install_test.sh <build folder> <source folder>
# QM_KEEP=1 keeps the throw-away folder for a look after a failure.
set -euo pipefail
umask 022

build=$(cd "${1:?usage: install_test.sh BUILD SOURCE}" && pwd -P)
source=$(cd "${2:?usage: install_test.sh BUILD SOURCE}" && pwd -P)
appid=com.corvane.qmere

fail() {
    echo "install test: $*" >&2
    exit 1
}
for tool in desktop-file-validate appstreamcli man readelf; do
    command -v "$tool" >/dev/null ||
        fail "$tool is missing (scripts/install-deps.sh test installs it)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-install-XXXXXX")
chmod 755 "$work"
gui_pid=
cleanup() {
    [ -n "$gui_pid" ] && kill -KILL "$gui_pid" 2>/dev/null
    chmod -R u+w "$work" 2>/dev/null
    [ -n "${QM_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# ---- the layout
DESTDIR=$work/dest cmake --install "$build" --prefix /usr --strip >"$work/install.log" ||
    fail "cmake --install failed: $(tail -5 "$work/install.log")"
root=$work/dest/usr
expected=(bin/qmere-cli lib/qmere/libqmere-pictures.so share/man/man1/qmere-cli.1
          share/bash-completion/completions/qmere-cli share/doc/qmere/LICENSE
          share/qmere/systemd/qmere-fetch.service share/qmere/systemd/qmere-fetch.timer)
gui=no
if [ -e "$build/qmere" ]; then
    gui=yes
    expected+=(bin/qmere lib/qmere/libqmere-banner.so share/qmere/tarnwell.htm
               share/qmere/tips.txt share/qmere/setup.bmp share/qmere/fantasy.bmp
               share/qmere/bulb.bmp "share/applications/$appid.desktop"
               "share/metainfo/$appid.metainfo.xml" share/man/man1/qmere.1
               "share/icons/hicolor/scalable/apps/$appid.svg")
    for size in 16 22 24 32 48 64 128 256; do
        expected+=("share/icons/hicolor/${size}x${size}/apps/$appid.png")
    done
fi
for file in "${expected[@]}"; do
    [ -f "$root/$file" ] || fail "not installed: $file"
done
grep -q "^ExecStart=/usr/bin/qmere-cli fetch$" "$root/share/qmere/systemd/qmere-fetch.service" ||
    fail "the service does not run the installed qmere-cli"

# The debug information stays in the build: every installed program and plug-in is stripped.
while IFS= read -r -d '' binary; do
    readelf -S "$binary" | grep -qE '\.(debug_info|symtab)\b' && fail "not stripped: ${binary#"$root"/}"
done < <(find "$root/bin" "$root/lib" -type f -print0)

# The programs find what they need relative to themselves, never in the build.
for program in "$root"/bin/*; do
    paths=$(readelf -d "$program" | sed -n 's/.*R\(UN\)\{0,1\}PATH.*\[\(.*\)\]/\2/p')
    case "$paths" in *"$build"* | *"$source"*) fail "$program searches the build: $paths" ;; esac
done
if [ $gui = yes ]; then
    runpath=$(readelf -d "$root/bin/qmere" | sed -n 's/.*RUNPATH.*\[\(.*\)\]/\1/p')
    # shellcheck disable=SC2016  # the loader's own $ORIGIN, not a shell variable
    [ "$runpath" = '$ORIGIN/../lib/qmere' ] || fail "qmere's RUNPATH is '$runpath'"
fi

# ---- the metadata, each with its own validator
if [ $gui = yes ]; then
    out=$(desktop-file-validate "$root/share/applications/$appid.desktop" 2>&1) ||
        fail "desktop-file-validate: $out"
    [ -z "$out" ] || fail "desktop-file-validate: $out"
    # A browser's NZB download opens in the program: the type declared, the files passed on.
    grep -qx 'MimeType=application/x-nzb;' "$root/share/applications/$appid.desktop" ||
        fail "the desktop entry declares no application/x-nzb"
    grep -q '^Exec=.*/qmere %F$' "$root/share/applications/$appid.desktop" ||
        fail "the desktop entry's Exec passes no files"
    appstreamcli validate --no-net "$root/share/metainfo/$appid.metainfo.xml" >"$work/as.log" 2>&1 ||
        fail "appstreamcli validate: $(cat "$work/as.log")"
    # The tree as a whole: the metainfo's launchable names the installed desktop entry.
    appstreamcli validate-tree --no-net "$work/dest" >"$work/as.log" 2>&1 ||
        fail "appstreamcli validate-tree: $(cat "$work/as.log")"
fi
for page in "$root"/share/man/man1/*.1; do
    out=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man $page failed: $out"
    [ -z "$out" ] || fail "man $page: $out"
done

completion=$root/share/bash-completion/completions/qmere-cli
bash -n "$completion" || fail "the bash completion does not parse"
if [ -r /usr/share/bash-completion/bash_completion ]; then
    comp=$work/completion
    mkdir -p "$comp/config/Corvane,LLC" "$comp/data/qmere/news.example"
    printf '[Config]\nServer=news.example\n' >"$comp/config/Corvane,LLC/qmere.ini"
    printf 'alt.pics.a\nalt.pics.b\ncomp.misc\n.\n' >"$comp/data/qmere/news.example/Groups.sub"
    mkdir -p "$comp/data/qmere/alt.pics.a"
    printf 'A\ta.jpg\t12071630-1998\tN\n' >"$comp/data/qmere/alt.pics.a/data.lst"
    # Each line: the words of a command line, the last one being completed; what it offers.
    got=$(XDG_CONFIG_HOME=$comp/config XDG_DATA_HOME=$comp/data bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$1"
        offer() {
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
            COMPREPLY=()
            _qmere_cli qmere-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" 2>/dev/null
            echo "$* -> ${COMPREPLY[*]}"
        }
        offer qmere-cli d
        offer qmere-cli fetch --th
        offer qmere-cli fetch --server news.example alt.
        offer qmere-cli config "Skip l"
        offer qmere-cli groups --s
        offer qmere-cli gallery --r
        offer qmere-cli dupes alt.pics.' bash "$completion")
    want='qmere-cli d -> decode dupes
qmere-cli fetch --th -> --threads
qmere-cli fetch --server news.example alt. -> alt.pics.a alt.pics.b
qmere-cli config Skip l -> Skip\ limit=
qmere-cli groups --s -> --search --server --subscribe --select
qmere-cli gallery --r -> --rebuild
qmere-cli dupes alt.pics. -> alt.pics.a'
    [ "$got" = "$want" ] || fail "bash completion offered:
$got
instead of:
$want"
fi

if command -v systemd-analyze >/dev/null; then
    # verify needs the program the service starts to exist: the installed one, by its path here.
    units=$work/units
    mkdir -p "$units" "$work/runtime"
    chmod 700 "$work/runtime"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/bin/|" \
        "$root/share/qmere/systemd/qmere-fetch.service" >"$units/qmere-fetch.service"
    cp "$root/share/qmere/systemd/qmere-fetch.timer" "$units/"
    out=$(cd "$units" && XDG_RUNTIME_DIR=$work/runtime MANPATH=$root/share/man \
        systemd-analyze verify --user ./qmere-fetch.service ./qmere-fetch.timer 2>&1) ||
        fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
else
    echo "install test: no systemd-analyze here; the units were not verified"
fi

# ---- running the installed programs, read-only
chmod -R a-w "$work/dest"
find "$work/dest" -printf '%p %s %m %T@\n' | sort >"$work/tree.before"

home=$work/home
mkdir -p "$home/run"
chmod 700 "$home/run"
traces=
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody:nogroup "$home"
    if unshare -m true 2>/dev/null; then
        # shellcheck disable=SC2016  # expanded by the inner sh
        isolate=(unshare -m -- sh -c 'mount -t tmpfs -o ro none "$1" && mount -t tmpfs -o ro none "$2" &&
                 shift 2 && exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"'
                 sh "$build" "$source")
    else
        isolate=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    fi
elif command -v strace >/dev/null; then
    traces=$work/traces
    mkdir -p "$traces"
    isolate=(strace -ff -qq -e trace=%file -o "$traces/trace")
else
    isolate=()
    echo "install test: neither root nor strace: the build folder is not shown to be unused"
fi
# A clean environment: nothing points into the build (QMERE_RESOURCES, LD_LIBRARY_PATH).
clean_env=(env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config"
           XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run"
           LANG=C.UTF-8 ASAN_OPTIONS="${ASAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}")
installed() { "${isolate[@]}" "${clean_env[@]}" "$@"; }

installed "$root/bin/qmere-cli" --help >"$work/out" || fail "qmere-cli --help failed"
grep -q '^usage: qmere-cli COMMAND' "$work/out" || fail "qmere-cli --help: $(cat "$work/out")"
installed "$root/bin/qmere-cli" config >"$work/out" || fail "qmere-cli config failed"
grep -qx "Data=$home/data/qmere/" "$work/out" || fail "qmere-cli config: $(cat "$work/out")"
installed "$root/bin/qmere-cli" config "Skip limit=42" || fail "qmere-cli config Skip limit=42 failed"
[ "$(installed "$root/bin/qmere-cli" config "Skip limit")" = "Skip limit=42" ] ||
    fail "a setting changed with the installed qmere-cli did not stay"

if [ $gui = yes ]; then
    # Up when the tip of the day has read the installed tips.txt (it stamps the profile) and
    # the installed banner plug-in has painted; then SIGTERM ends it as "Exit" does.
    profile=$home/config/Corvane,LLC/qmere.ini
    banner=$home/banner-trace.txt
    # The address sanitizer's dlopen() stands between the program and the loader, so the
    # loader searches the sanitizer's RUNPATH, not the program's: there the plug-in's folder is
    # named outright (the RUNPATH itself was checked above).
    plugin_path=()
    if readelf -d "$root/bin/qmere" | grep -q 'NEEDED.*libasan'; then
        plugin_path=(LD_LIBRARY_PATH="$root/lib/qmere")
    fi
    # Not through a function: $! must be the program (every wrapper above execs it).
    "${isolate[@]}" "${clean_env[@]}" "${plugin_path[@]}" QT_QPA_PLATFORM=offscreen \
        QMERE_BANNER_TRACE="$banner" "$root/bin/qmere" >"$work/gui.log" 2>&1 &
    gui_pid=$!
    up=no
    for _ in $(seq 1 1200); do
        kill -0 "$gui_pid" 2>/dev/null || break
        if grep -qs '^TimeStamp=.' "$profile" && grep -qs '^_Paint$' "$banner"; then
            up=yes
            break
        fi
        sleep 0.1
    done
    [ $up = yes ] || fail "the installed qmere did not come up with its tips and banner:
$(cat "$work/gui.log")"
    # Under strace the program is strace's child.
    target=$gui_pid
    [ -z "$traces" ] || target=$(pgrep -P "$gui_pid" | head -n 1)
    kill -TERM "$target"
    status=0
    wait "$gui_pid" || status=$?
    gui_pid=
    [ $status -eq 0 ] || fail "qmere ended with status $status after SIGTERM: $(cat "$work/gui.log")"
    grep -q '^Skip limit=42$' "$profile" || fail "qmere did not save its settings at the end"
fi

# ---- nothing written below the prefix, nothing read from the build
find "$work/dest" -printf '%p %s %m %T@\n' | sort >"$work/tree.after"
diff "$work/tree.before" "$work/tree.after" >/dev/null ||
    fail "the installed tree changed: $(diff "$work/tree.before" "$work/tree.after" | head)"
if [ -n "$traces" ]; then
    touched=$(cat "$traces"/trace* | grep -F -e "\"$build" -e "\"$source" | head -5 || true)
    [ -z "$touched" ] || fail "the installed programs looked into the build: $touched"
fi
echo "install test: passed (desktop program: $gui)"
