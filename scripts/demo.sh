#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# make demo: serves sample picture posts from the fixture news server on loopback and points a
# throw-away profile and data folder at it; then opens the desktop program when there is a
# display, or fetches the sample groups with qmere-cli and says where the pages are. Ends with
# the path of each picture group's gallery, to open in a browser.
#   scripts/demo.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
root=$(mktemp -d /tmp/qmere-demo.XXXXXX)
spool=$root/spool
export XDG_CONFIG_HOME=$root/config XDG_DATA_HOME=$root/data
groups=(alt.pictures.demo alt.binaries.pictures.demo comp.misc.talk)

# ---- sample posts made of real pictures
post() {  # group number subject [extra headers] < body
    local dir=$spool/$1
    mkdir -p "$dir"
    { printf 'From: demo@example.invalid\nNewsgroups: %s\nSubject: %s\nMessage-ID: <%s.%s@demo>\n' \
          "$1" "$3" "$2" "$1"
      [ -n "${4:-}" ] && printf '%b\n' "$4"
      printf '\n'
      cat; } > "$dir/$2"
}
pictures=$root/pictures
mkdir -p "$pictures"
colours=(steelblue tomato seagreen goldenrod orchid slateblue)
for i in 0 1 2 3 4 5; do
    convert -size 320x200 "gradient:${colours[$i]}-white" -fill white -stroke black \
        -draw "circle $((60 + i * 40)),100 $((90 + i * 40)),100" "$pictures/sample$((i + 1)).jpg"
done
n=1
for i in 1 2 3; do  # uuencoded, the larger ones split over two articles
    uuencode "$pictures/sample$i.jpg" "sample$i.jpg" > "$root/uu"
    lines=$(wc -l < "$root/uu")
    if [ "$i" -eq 1 ]; then
        post alt.pictures.demo $n "sample$i.jpg (1/1)" < "$root/uu"; n=$((n + 1))
    else
        half=$((lines / 2))
        head -n "$half" "$root/uu" | post alt.pictures.demo $n "sample$i.jpg (1/2)"; n=$((n + 1))
        tail -n +"$((half + 1))" "$root/uu" | post alt.pictures.demo $n "sample$i.jpg (2/2)"; n=$((n + 1))
    fi
done
n=1
for i in 4 5 6; do  # MIME base64
    base64 "$pictures/sample$i.jpg" | post alt.binaries.pictures.demo $n "sample$i.jpg" \
        "MIME-Version: 1.0\nContent-Type: image/jpeg; name=\"sample$i.jpg\"\nContent-Transfer-Encoding: base64"
    n=$((n + 1))
done
echo "Just words, no pictures here." | post comp.misc.talk 1 "hello"

# ---- the server, stopped on exit
"$build/tools/newsserver/qmere-newsd" --spool "$spool" > "$root/newsd.out" 2>&1 &
newsd=$!
trap 'kill $newsd 2>/dev/null; wait $newsd 2>/dev/null || true' EXIT
for _ in $(seq 50); do grep -q '^port ' "$root/newsd.out" 2>/dev/null && break; sleep 0.1; done
port=$(awk '/^port /{print $2; exit}' "$root/newsd.out")
[ -n "$port" ] || { echo "demo: the news server did not start" >&2; cat "$root/newsd.out" >&2; exit 1; }
echo "demo: news server on 127.0.0.1 port $port, profile and data in $root"

# ---- the throw-away profile: the server set, the sample groups subscribed and selected
data=$XDG_DATA_HOME/qmere
mkdir -p "$XDG_CONFIG_HOME/Corvane,LLC" "$data/127.0.0.1"
printf '[Config]\nServer=127.0.0.1\nBrowser=xdg-open\n' > "$XDG_CONFIG_HOME/Corvane,LLC/qmere.ini"
printf '127.0.0.1 %s\n' "$port" > "$data/server.lst"
for list in Groups.sub Groups.fet; do
    printf '%s\n' "${groups[@]}" . > "$data/127.0.0.1/$list"
done

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: opening the main window; press \"Get pictures!\""
    "$build/qmere"
else
    echo "demo: no display; fetching with qmere-cli"
    "$build/qmere-cli" fetch --server "127.0.0.1:$port" "${groups[@]}"
    echo
    for g in "${groups[@]:0:2}"; do
        echo "demo: pictures of $g in $data/$g/news.dat:"
        ls "$data/$g/news.dat"
        echo "      index page: $(ls "$data/$g"/idx*.html 2>/dev/null | head -1)"
    done
fi

echo
shown=0
for g in "${groups[@]:0:2}"; do
    page=$data/$g/gallery.html
    if [ -f "$page" ]; then
        echo "demo: gallery of $g: $page"
        shown=1
    fi
done
[ $shown -eq 1 ] || echo "demo: no gallery yet (no pictures were retrieved); the data is in $data"
