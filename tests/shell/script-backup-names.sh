#!/usr/bin/env bash
# Runs the script backup application on launch files whose first volume name is long in bytes
# though not in characters, as a drive may report it, and checks where the backup went.
# Usage: script-backup-names.sh SCRIPT
set -uo pipefail
script=$1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

scratch=$(mktemp -d /tmp/tvb-script-names-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# NAME is the first volume name, EXPECTED the folder it must be backed up into.
check() {
    local name=$1 expected=$2 home
    home=$(mktemp -d "$scratch/home-XXXXXX")
    mkdir -p "$home/ToBackUp" "$home/hand"
    echo letter >"$home/ToBackUp/letter.txt"
    printf 'SER\r\n%s\r\nOther\r\n' "$name" >"$home/hand/LaunchBackup"
    if ! HOME=$home sh "$script" "$home/hand/LaunchBackup" 2>"$home/stderr"; then
        fail "${#expected}-byte folder: the script failed: $(cat "$home/stderr")"
        return
    fi
    [ -f "$home/hand/EndBackup" ] || fail "${#expected}-byte folder: no end file"
    [ -f "$home/Backups/$expected/letter.txt" ] ||
        fail "not backed up into the expected folder; there is: $(ls "$home/Backups")"
}

e200=$(printf 'é%.0s' $(seq 200))     # 400 bytes: 127 whole characters fit
e127=$(printf 'é%.0s' $(seq 127))
smile=$(printf 'a'; printf '😀%.0s' $(seq 100)) # 401 bytes: "a" and 63 whole characters fit
smile63=$(printf 'a'; printf '😀%.0s' $(seq 63))
check "$e200" "$e127"
check "$smile" "$smile63"

[ "$failures" -eq 0 ] && echo "all script backup name checks passed"
exit $((failures > 0))
