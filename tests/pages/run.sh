#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes a group's pages with makepages, then opens them in headless Chromium and clicks
# through them (pages_test.mjs); the gallery's screenshots are kept in the screenshot folder.
#   tests/pages/run.sh <makepages> [<screenshot folder>]
# Exits 77 (a skip for CTest) only when there is no Chromium to run.
set -euo pipefail

makepages=${1:?usage: run.sh <makepages> [<screenshot folder>]}
shots=${2:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
chromium=${QM_CHROMIUM:-/usr/bin/chromium}

if [ ! -x "$chromium" ]; then
    echo "pages: skipped: no Chromium at $chromium (scripts/install-deps.sh test installs it)"
    exit 77
fi
for tool in node npm; do
    if ! command -v "$tool" >/dev/null; then
        echo "pages: $tool is missing (scripts/install-deps.sh test installs it)" >&2
        exit 1
    fi
done

# node_modules lives beside the lock file; two test runs at once must not install over
# each other.
cd "$here"
exec 9>"${TMPDIR:-/tmp}/quillmere-pages-npm.lock"
flock 9
npm_flags=(--no-audit --no-fund --loglevel=error)
if [ -d node_modules ]; then
    npm ci --offline "${npm_flags[@]}" 2>/dev/null || npm ci "${npm_flags[@]}"
else
    npm ci "${npm_flags[@]}"
fi
flock -u 9

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-pages-XXXXXX")
trap 'rm -rf "$work"' EXIT
"$makepages" "$work/site" >"$work/listing.txt"
QM_CHROMIUM="$chromium" node "$here/pages_test.mjs" "$work/listing.txt" ${shots:+"$shots"}
