#!/usr/bin/env bash
# The bash completion of quorin-cli loads without errors and offers the commands, the options of
# a command and the values of --mux.
set -u
script=$1
source /usr/share/bash-completion/bash_completion
source "$script" 2>errors.txt || { cat errors.txt; exit 1; }
[ -s errors.txt ] && { cat errors.txt; exit 1; }
offer() { # words... : the completions for the last word
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=(); _quorin_cli quorin-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    echo " ${COMPREPLY[*]} "
}
fail=0
expect() { case "$1" in *" $2 "*) ;; *) echo "missing '$2' in:$1"; fail=1 ;; esac; }
got=$(offer quorin-cli ""); for c in list info rip jobs rename decode preview scan; do expect "$got" "$c"; done
got=$(offer quorin-cli rip --); for o in --disk --clip --all --json --mux --skip-existing --library; do expect "$got" "$o"; done
got=$(offer quorin-cli rip --mux ""); for v in mkv mpg ts; do expect "$got" "$v"; done
exit $fail
