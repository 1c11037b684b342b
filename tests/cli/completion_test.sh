#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The bash completion of qmere-cli completes "config" keys to words the command takes: each
# completion is put into a command line as readline would (after an opening quote the reply as
# it is, then the closing quote; else the reply), a value typed after it, and the line run.
#   tests/cli/completion_test.sh QMERE_CLI COMPLETION_SCRIPT
set -euo pipefail
cli=${1:?usage: completion_test.sh QMERE_CLI COMPLETION}
completion=${2:?usage: completion_test.sh QMERE_CLI COMPLETION}
[ -r /usr/share/bash-completion/bash_completion ] || { echo "bash-completion missing"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qm-completion-XXXXXX")
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data

# The one reply offered for the word typed last.
complete_word() {
    bash -c '
        source /usr/share/bash-completion/bash_completion
        source "$1"; shift
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        COMPREPLY=()
        _qmere_cli qmere-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" 2>/dev/null
        [ ${#COMPREPLY[@]} -eq 1 ] || { echo "offered ${#COMPREPLY[@]}: ${COMPREPLY[*]}" >&2; exit 1; }
        printf "%s" "${COMPREPLY[0]}"' bash "$completion" "$@"
}

fail=0
for typed in '"Max' "'Max" 'Max' '"Skip l'; do
    reply=$(complete_word qmere-cli config "$typed") || { echo "$typed: no single reply"; fail=1; continue; }
    case $typed in
        [\"\']*) word="${typed:0:1}$reply${typed:0:1}" ;;
        *) word=$reply ;;
    esac
    # The word as the shell reads it, with a value typed right after it.
    eval "set -- $word"'7'
    if ! "$cli" config "$1" >/dev/null 2>"$work/err"; then
        echo "$typed completed to $word, which config refuses: $(cat "$work/err")"
        fail=1
    fi
done
[ "$("$cli" config "Max Threads")" = "Max Threads=7" ] || { echo "Max Threads was not set"; fail=1; }
[ "$("$cli" config "Skip limit")" = "Skip limit=7" ] || { echo "Skip limit was not set"; fail=1; }
exit $fail
