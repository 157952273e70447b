# shellcheck shell=bash
# Helpers shared by the packaging tests (sourced, bash). Each test makes a scratch folder,
# starts its processes through `start`, and leaves nothing behind: the EXIT trap stops what
# was started and removes the scratch folder unless TVB_KEEP_SCRATCH is set.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

note() {
    echo "-- $*"
}

# A scratch folder owned by the caller, removed at exit.
make_scratch() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/tvb-$1-XXXXXX")
    started_pids=()
    trap cleanup EXIT
}

# Pids of backup applications that ran detached, found in the sample's log.
detached_pids() {
    local log
    for log in "$@"; do
        [ -f "$log" ] && grep -o '\[[0-9]*\]' "$log" | tr -dc '0-9\n'
    done | sort -u
}

cleanup() {
    local status=$?
    set +e
    local pid
    for pid in "${started_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in $(detached_pids "${scratch:-/nonexistent}/backup.log"); do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    if [ $status -ne 0 ]; then
        for f in "$scratch"/*.err "$scratch"/*.log "$scratch"/syslog.txt; do
            [ -s "$f" ] && { echo "---- $f"; tail -n 40 "$f"; }
        done
    fi
    [ -z "${TVB_KEEP_SCRATCH:-}" ] && rm -rf "$scratch"
    exit $status
}

# start NAME COMMAND...: runs COMMAND in the background, stderr to $scratch/NAME.err; the
# pid is left in $last_pid.
start() {
    local name=$1
    shift
    "$@" 2>"$scratch/$name.err" &
    last_pid=$!
    started_pids+=("$last_pid")
}

# wait_for SECONDS DESCRIPTION COMMAND...: polls COMMAND (nothing outside offers an event to
# wait on) until it succeeds; fails naming what was awaited.
wait_for() {
    local limit=$1 what=$2
    shift 2
    local deadline=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || fail "gave up after ${limit}s waiting for $what"
        sleep 0.05
    done
}

# stop_cleanly PID WHAT: SIGTERM, then the process's exit status must be 0.
stop_cleanly() {
    local pid=$1 what=$2 status=0 kept=() p
    kill -TERM "$pid"
    wait "$pid" || status=$?
    for p in "${started_pids[@]}"; do
        [ "$p" = "$pid" ] || kept+=("$p")
    done
    started_pids=("${kept[@]}")
    [ $status -eq 0 ] || fail "$what ended with status $status on SIGTERM"
}

# A scratch home and runtime folder, and nothing from the caller's environment that would
# point the programs elsewhere.
use_scratch_home() {
    export HOME="$scratch/home"
    export XDG_RUNTIME_DIR="$scratch/run"
    unset TVB_DEVHOST_SOCKET XDG_CONFIG_HOME XDG_DATA_HOME
    mkdir -p "$HOME"
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
}

# The preferences file from the example, with the placeholder replaced by APP.
write_preferences() {
    local example=$1 app=$2
    mkdir -p "$HOME/Library/Preferences"
    grep -q '/path/to/YourBackup.app' "$example" || fail "$example has no placeholder path"
    sed "s|/path/to/YourBackup.app|$app|" "$example" >"$HOME/Library/Preferences/TotalMedia Backup.plist"
}
