#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages that building, testing or the demo need, only those missing.
# Idempotent and non-interactive; safe to run before every build.
#   scripts/install-deps.sh build   compilers, CMake, Ninja and the libraries the programs link
#                                   (all that "make install" needs)
#   scripts/install-deps.sh test    test and benchmark libraries, the fuzzing compiler, the
#                                   peers and encoders the tests compare against, the browser
#                                   of the page tests and the metadata validators
#   scripts/install-deps.sh demo    what makes and posts the demo's sample pictures
set -euo pipefail

build_pkgs=(g++ cmake ninja-build pkg-config ccache qt6-base-dev libgl-dev zlib1g-dev libssl-dev
            libsqlite3-dev libvips-dev libjpeg-dev libexpat1-dev)
test_pkgs=(libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
           sharutils uudeview mpack python3 python3-yenc coreutils imagemagick stunnel4 openssl
           dbus-daemon chromium nodejs desktop-file-utils appstream man-db groff-base
           bash-completion strace hyperfine libvips-tools par2 libxml2-utils)
demo_pkgs=(imagemagick sharutils coreutils)
# A Node.js build that carries its own npm conflicts with Debian's npm package.
command -v npm >/dev/null || test_pkgs+=(npm)

want=()
for group in "$@"; do
    case "$group" in
        build) want+=("${build_pkgs[@]}") ;;
        test) want+=("${test_pkgs[@]}") ;;
        demo) want+=("${demo_pkgs[@]}") ;;
        *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
