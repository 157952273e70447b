#!/usr/bin/env bash
# Sources completion/tvbctl in bash (with bash-completion loaded when the system has it) and
# checks what it offers against what tvbctl itself says it takes, and against a live host's
# drives.  Usage: tvbctl-completion.sh COMPLETION_FILE TVBCTL TVB_DEVHOST
set -uo pipefail
completion=$1 ctl=$(realpath "$2") host=$(realpath "$3")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

scratch=$(mktemp -d /tmp/tvb-completion-XXXXXX)
host_pid=""
cleanup() {
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

# "tvbctl" on the command line is the one under test.
mkdir "$scratch/bin"
ln -s "$ctl" "$scratch/bin/tvbctl"
PATH="$scratch/bin:$PATH"

if [ -r /usr/share/bash-completion/bash_completion ]; then
    # shellcheck disable=SC1091
    . /usr/share/bash-completion/bash_completion
fi
# shellcheck disable=SC1090
. "$completion"
[ "$(complete -p tvbctl 2>/dev/null)" = "complete -F _tvbctl tvbctl" ] || fail "not registered for tvbctl"

# COMP_WORDS as bash makes them: words end at unquoted blanks, and an unquoted ':' or '='
# is a word of its own.
split_words() {
    local line=$1 word="" quote="" c k
    COMP_WORDS=()
    for ((k = 0; k < ${#line}; k++)); do
        c=${line:k:1}
        if [[ -n $quote ]]; then
            word+=$c
            [[ $c == "$quote" ]] && quote=""
        elif [[ $c == "\\" ]]; then
            word+=${line:k:2}
            ((k++))
        elif [[ $c == "'" || $c == '"' ]]; then
            word+=$c
            quote=$c
        elif [[ $c == " " || $c == ":" || $c == "=" ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            word=""
            [[ $c != " " ]] && COMP_WORDS+=("$c")
        else
            word+=$c
        fi
    done
    [[ -n $word || $line == *[" :="] ]] && COMP_WORDS+=("$word")
}

# What completing LINE (the cursor at its end) offers, sorted, one a line.
offers() {
    local line=$1
    COMP_LINE=$line
    COMP_POINT=${#line}
    split_words "$line"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _tvbctl tvbctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
}
expect() { # expect LINE WANTED (sorted, one a line)
    local got
    got=$(offers "$1")
    [ "$got" = "$2" ] || fail "completing '$1': wanted [$2], got [$got]"
}
lines() { printf '%s\n' "$@" | sort; }

expect "tvbctl at" "attach"
expect "tvbctl --so" "--socket"
expect "tvbctl --socket /x l" "$(lines leds lights list)"
expect "tvbctl list --j" "--json"
expect "tvbctl calls X --" "$(lines --clear --help --json)"
expect "tvbctl attach S --serial-type n" "number"
expect "tvbctl attach S --serial-type=d" "data"
expect "tvbctl help le" "leds"
expect "tvbctl fault D sl" "slow-answer"
expect "tvbctl ping " ""

# The verbs and each verb's options are the ones tvbctl's own help gives.
verbs=$("$ctl" --help | sed -n '/^Verbs/,/^$/p' | awk 'NR > 1 && NF { print $1 }' | sort)
[ -n "$verbs" ] || fail "no verbs in tvbctl --help"
expect "tvbctl " "$(lines $verbs help)"
for verb in $verbs; do
    options=$("$ctl" help "$verb" | head -n 1 | grep -o -- '--[a-z0-9-]*' | grep -vx -- '--socket' | sort -u)
    expect "tvbctl $verb --" "$(lines $options --help)"
done

# Drives come from the host the command line names, unescaped and quoted for the shell.
mkfifo "$scratch/devhost.err"
"$host" --socket "$scratch/devhost.sock" 2>"$scratch/devhost.err" &
host_pid=$!
exec 3<"$scratch/devhost.err" # kept open to the end, so the host never writes into nothing
read -r -t 10 -u 3 announced || fail "the host did not start"
[[ ${announced:-} == *"listening on"* ]] || fail "the host said: ${announced:-nothing}"
"$ctl" --socket "$scratch/devhost.sock" attach PLAIN >/dev/null || fail "attach PLAIN"
"$ctl" --socket "$scratch/devhost.sock" attach "TWO WORDS" >/dev/null || fail "attach TWO WORDS"
expect "tvbctl --socket $scratch/devhost.sock press P" "PLAIN"
expect "tvbctl --socket $scratch/devhost.sock calls --json T" 'TWO\ WORDS'
expect "tvbctl --socket $scratch/devhost.sock lights d" "$(lines disk2 disk3)"
expect "tvbctl --socket $scratch/devhost.sock fault PLAIN n" "none"
# A serial with a colon, a blank, a newline or a leading dash: the shell replaces only what
# follows the last colon, matches what is typed after its quoting, and needs "--" before a dash.
"$ctl" --socket "$scratch/devhost.sock" attach "AB:CD" >/dev/null || fail "attach AB:CD"
"$ctl" --socket "$scratch/devhost.sock" attach $'NEW\nLINE' >/dev/null || fail "attach NEW LINE"
"$ctl" --socket "$scratch/devhost.sock" attach -- -DASH >/dev/null || fail "attach -DASH"
expect "tvbctl --socket $scratch/devhost.sock press AB:" "CD"
expect "tvbctl --socket $scratch/devhost.sock fault AB:CD " \
    "$(lines refuse-open refuse-selector0 fail-command short-answer slow-answer none)"
expect "tvbctl --socket $scratch/devhost.sock calls TWO\\ W" 'TWO\ WORDS'
expect "tvbctl --socket $scratch/devhost.sock detach N" "\$'NEW\\nLINE'"
expect "tvbctl --socket $scratch/devhost.sock press -- -" "-DASH"
# Within double quotes a backslash before a letter is kept, as the shell keeps it.
"$ctl" --socket "$scratch/devhost.sock" attach 'BACK\SLASH' >/dev/null || fail "attach BACK\SLASH"
expect "tvbctl --socket $scratch/devhost.sock press \"BACK\\S" 'BACK\\SLASH'
# The socket as typed: under ~, or quoted.
HOME=$scratch expect "tvbctl --socket ~/devhost.sock press P" "PLAIN"
expect "tvbctl --socket='$scratch/devhost.sock' press P" "PLAIN"

[ "$failures" -eq 0 ] && echo "tvbctl completion: all checks passed"
exit $((failures > 0))
