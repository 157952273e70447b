#!/usr/bin/env bash
# units.sh verify|activate BUILD_DIR UNIT_DIR AUTOSTART_DIR
# Installs the build into a scratch prefix (cmake --install --prefix) and tests the installed
# systemd user units and autostart entries. UNIT_DIR and AUTOSTART_DIR are relative to it.
#   verify    systemd-analyze --user verify accepts every unit without a word (the programs
#             they start and the manual pages they name must be installed); systemd's
#             autostart generator skips the autostart entries, though it reads them; the
#             entries' TryExec= names the program they start. The prefix holds a space,
#             which units and entries must quote.
#   activate  runs the units' own commands as systemd would, without a user manager: the
#             host under systemd-socket-activate on the socket's ListenStream= starts on the
#             first connection, and the poller, with the unit's Environment=, lists a drive
#             through it.
# shellcheck source=tests/packaging/lib.sh
source "$(dirname "$0")/lib.sh"
mode=${1:?usage: units.sh verify|activate BUILD_DIR UNIT_DIR AUTOSTART_DIR}
build=${2:?}
unit_rel=${3:?}
autostart_rel=${4:?}
make_scratch "units-$mode"
prefix="$scratch/prefix"
[ "$mode" = verify ] && prefix="$scratch/installed prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.out"
units="$prefix/$unit_rel"
autostart="$prefix/$autostart_rel"
use_scratch_home

# The value of KEY in a unit, with %t as systemd fills it in for a user manager.
unit_value() {
    sed -n "s/^$2=//p" "$units/$1" | sed "s|%t|$XDG_RUNTIME_DIR|g"
}

if [ "$mode" = verify ]; then
    all=("$units/tvb-devhost.socket" "$units/tvb-devhost.service" "$units/tarvelle-button-poller.service")
    for unit in "${all[@]}"; do
        [ -f "$unit" ] || fail "$unit was not installed"
    done
    out=$(MANPATH="$prefix/share/man" systemd-analyze --user verify "${all[@]}" 2>&1) ||
        fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify warns: $out"
    note "systemd-analyze --user verify: clean"

    entries=("$autostart/tarvelle-button-poller.desktop" "$autostart/tvb-devhost.desktop")
    # Entries are conffiles and outlive a removed package; a session that reads TryExec=
    # (a plain string, never quoted) then skips them rather than fail to start a program.
    for entry in "${entries[@]}"; do
        exec_path=$(sed -n 's/^Exec=//p' "$entry")
        [[ $exec_path == \"*\" ]] && exec_path=${exec_path:1:-1}
        [ -x "$exec_path" ] || fail "$entry starts $exec_path, which is not installed"
        try_exec=$(sed -n 's/^TryExec=//p' "$entry")
        [ "$try_exec" = "$exec_path" ] || fail "$entry has TryExec=$try_exec, not the program it starts"
    done
    generator=""
    for g in /usr/lib/systemd/user-generators/systemd-xdg-autostart-generator \
        /lib/systemd/user-generators/systemd-xdg-autostart-generator; do
        [ -x "$g" ] && generator=$g && break
    done
    [ -n "$generator" ] || fail "systemd's xdg autostart generator is missing"
    # generate XDG_CONFIG_DIRS: the units the generator makes from our entries.
    generate() {
        rm -rf "$scratch/gen"
        mkdir -p "$scratch/gen/normal" "$scratch/gen/early" "$scratch/gen/late"
        XDG_CONFIG_DIRS=$1 XDG_CONFIG_HOME="$scratch/nothing" \
            "$generator" "$scratch/gen/normal" "$scratch/gen/early" "$scratch/gen/late"
        find "$scratch/gen" -name '*@autostart.service' -type f | wc -l
    }
    [ "$(generate "$(dirname "$autostart")")" -eq 0 ] ||
        fail "systemd's autostart generator made units of the entries, beside the real units"
    # The same entries without the mark must be picked up, or the first run proved nothing.
    mkdir -p "$scratch/unmarked/xdg/autostart"
    for entry in "${entries[@]}"; do
        grep -v '^X-systemd-skip=' "$entry" >"$scratch/unmarked/xdg/autostart/$(basename "$entry")"
    done
    [ "$(generate "$scratch/unmarked/xdg")" -eq ${#entries[@]} ] ||
        fail "the generator did not read the entries"
    note "the autostart generator skips the entries"
    exit 0
fi

[ "$mode" = activate ] || fail "unknown mode $mode"
listen=$(unit_value tvb-devhost.socket ListenStream)
read -r -a host_command <<<"$(unit_value tvb-devhost.service ExecStart)"
read -r -a poller_command <<<"$(unit_value tarvelle-button-poller.service ExecStart)"
poller_environment=()
while IFS= read -r assignment; do
    poller_environment+=("$assignment")
done < <(unit_value tarvelle-button-poller.service Environment)
ctl="$prefix/bin/tvbctl"
export TVB_CLOCK_SCALE=10

# A user manager hands its services its own environment; systemd-socket-activate passes on
# only what -E names.
passed=()
for name in HOME XDG_RUNTIME_DIR ASAN_OPTIONS UBSAN_OPTIONS; do
    [ -n "${!name:-}" ] && passed+=(-E "$name")
done
start activator systemd-socket-activate "${passed[@]}" -l "$listen" "${host_command[@]}"
host_pid=$last_pid
wait_for 10 "the socket $listen" test -S "$listen"
[ "$(readlink "/proc/$host_pid/exe")" = "$(command -v systemd-socket-activate)" ] ||
    fail "the host started before anything connected"
start poller env "${poller_environment[@]}" "${poller_command[@]}"
poller_pid=$last_pid
wait_for 20 "the poller's connection to start the host" \
    sh -c "[ \"\$(readlink /proc/$host_pid/exe)\" = \"${host_command[0]}\" ]"
"$ctl" attach ACT-1 --volume Data:1000:500 >/dev/null
wait_for 20 "the poller to list the drive" sh -c "\"$ctl\" list | grep -q '^ACT-1 .*watchers=1'"
stop_cleanly "$poller_pid" "the poller"
stop_cleanly "$host_pid" "the socket-activated host"
# The socket belongs to whoever handed it over; the host must leave its file alone.
[ -S "$listen" ] || fail "the host removed the socket file it was handed"
note "done"
