#!/usr/bin/env bash
# The whole road of a button press, narrated: a device host with one simulated drive,
# the poller bundle, the sample backup application, in a scratch home that is
# removed afterwards (also on Ctrl-C).
set -euo pipefail

build=${1:?usage: demo.sh BUILD_DIR}
build=$(cd "$build" && pwd)
host_bin="$build/devhost/tvb-devhost"
ctl_bin="$build/devhost/tvbctl"
poller_bin="$build/TarvelleButtonPoller.app/Contents/MacOS/TarvelleButtonPoller"
backup_app="$build/SampleBackup.app"
capture_lib="$build/tools/libtvbsyslogcapture.so"
for f in "$host_bin" "$ctl_bin" "$poller_bin" "$capture_lib"; do
    [ -e "$f" ] || { echo "demo: $f is missing; run ./dev build" >&2; exit 1; }
done

scratch=$(mktemp -d /tmp/tvb-demo-XXXXXX)
host_pid=""
poller_pid=""
cleanup() {
    set +e
    [ -n "$poller_pid" ] && kill "$poller_pid" 2>/dev/null
    [ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null
    # Backup applications run detached; the log names them.
    if [ -f "$scratch/backup.log" ]; then
        grep -o 'SampleBackup\[[0-9]*\]' "$scratch/backup.log" | tr -dc '0-9\n' | sort -u |
            while read -r pid; do kill "$pid" 2>/dev/null; done
    fi
    wait 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted, cleaning up"; exit 130' INT TERM

start=$(date +%s%N)
say() {
    local tenths=$(( ($(date +%s%N) - start) / 100000000 ))
    printf '[%3d.%ds] %s\n' $((tenths / 10)) $((tenths % 10)) "$*"
}
wait_for() {  # wait_for SECONDS DESCRIPTION COMMAND...
    local limit=$1 what=$2; shift 2
    local deadline=$(( $(date +%s) + limit ))
    until "$@" >/dev/null 2>&1; do
        if [ "$(date +%s)" -ge "$deadline" ]; then say "gave up waiting for $what"; exit 1; fi
        sleep 0.1
    done
}

export HOME="$scratch/home"
export TVB_DEVHOST_SOCKET="$scratch/devhost.sock"
export TVB_SYSLOG_FILE="$scratch/syslog.txt"
export TVB_BACKUP_LOG="$scratch/backup.log"
export TVB_BACKUP_SECONDS=2
export TVB_BACKUP_MODE=end
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:verify_asan_link_order=0}"
mkdir -p "$HOME/ToBackUp" "$HOME/Library/Preferences"
echo "holiday pictures" >"$HOME/ToBackUp/holiday.txt"
echo "tax return" >"$HOME/ToBackUp/taxes.txt"
ctl() { "$ctl_bin" "$@"; }

say "scratch home: $HOME"
"$host_bin" --socket "$TVB_DEVHOST_SOCKET" 2>"$scratch/devhost.err" &
host_pid=$!
wait_for 10 "the device host" ctl ping
say "device host running (pid $host_pid)"

cat >"$HOME/Library/Preferences/TotalMedia Backup.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>AppName</key>
	<string>$backup_app</string>
</dict>
</plist>
PLIST
say "backup application preference \"AppName\" = $backup_app"

LD_PRELOAD="$capture_lib" "$poller_bin" 2>"$scratch/poller.err" &
poller_pid=$!
say "poller bundle started (pid $poller_pid); first poll in 5 s, then every 3 s"

bsd=$(ctl attach DEMO-0042 --bridge-serial TVB0042 --volume "Photos:500000000000:200000000000" \
    --volume "Music:250000000000:100000000000")
say "plugged in drive DEMO-0042 as $bsd with volumes Photos (200 of 500 GB free) and Music (100 of 250 GB free)"
wait_for 15 "the poller to list the drive" sh -c "\"$ctl_bin\" list | grep -q 'DEMO-0042.*watchers=1'"
say "poller lists it: $(ctl list)"
wait_for 15 "the first lights refresh" sh -c "\"$ctl_bin\" lights DEMO-0042 | grep -qv 'commands=0'"
say "first tick set the capacity lights: $(ctl lights DEMO-0042)"

ctl press DEMO-0042
say "pressed the backup button"
wait_for 10 "the press to be logged" grep -q 'Polled button press' "$TVB_SYSLOG_FILE"
say "system log: $(cat "$TVB_SYSLOG_FILE")"
launch="$HOME/Documents/For Button Manage/LaunchBackup"
wait_for 10 "the launch file" test -s "$launch"
say "launch file $launch holds:"
od -An -c "$launch" | sed 's/^/           /'
wait_for 10 "the backup application" grep -q started "$TVB_BACKUP_LOG"
say "backup application running; it says:"
printed=$(wc -l <"$TVB_BACKUP_LOG")
sed 's/^/           /' "$TVB_BACKUP_LOG" | head -n "$printed"
wait_for 15 "the backup to finish" grep -q wrote "$TVB_BACKUP_LOG"
say "backup application finished; it says:"
tail -n +"$((printed + 1))" "$TVB_BACKUP_LOG" | sed 's/^/           /'
wait_for 10 "the hand-off files to go" sh -c "! ls \"$HOME/Documents/For Button Manage\"/* >/dev/null 2>&1"
say "poller saw the end file and cleaned up; hand-off folder now: [$(ls -A "$HOME/Documents/For Button Manage")]"
wait_for 10 "the lights to be shown" sh -c "\"$ctl_bin\" lights DEMO-0042 | grep -q shown=on"
say "lights after the backup: $(ctl lights DEMO-0042)  (300 of 750 GB free = 40%)"
say "backed up: $(cd "$HOME/Backups" && find . -type f | sort | tr '\n' ' ')"

kill -TERM "$poller_pid"
status=0
wait "$poller_pid" || status=$?
poller_pid=""
say "poller quit on SIGTERM with status $status"
say "done"
