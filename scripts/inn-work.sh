# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the scripts that run the test INN for a while; "$inn" names inn-server.sh.
#
#   inn_work [TEMPLATE]   $work: a new folder (mktemp -d TEMPLATE), removed at exit;
#                         $state: INN's state folder inside it, stopped at exit once the
#                         caller has set started=1
#   free_port             prints a loopback port nobody listens on now
# shellcheck shell=bash

inn_work() {
    work=$(mktemp -d ${1:+"$1"})
    state="$work/inn"
    started=0
    trap inn_work_cleanup EXIT
}

inn_work_cleanup() {
    [ "$started" -eq 1 ] && "$inn" stop "$state" >/dev/null 2>&1
    rm -rf "$work"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
