#!/usr/bin/env bash
# package.sh build SOURCE_DIR WORK_DIR
#     Makes the Debian package with `./dev package` in WORK_DIR/build-release.
# package.sh lint SOURCE_DIR WORK_DIR
#     Runs lintian on it: no errors and no warnings.
# package.sh road SOURCE_DIR WORK_DIR VERSION
#     Checks the package's metadata, unpacks it with dpkg-deb -x into a scratch root and runs
#     the whole road of a press from the unpacked files only: host, poller, sample backup
#     application, preferences made from the shipped example.
# shellcheck source=tests/packaging/lib.sh
source "$(dirname "$0")/lib.sh"
mode=${1:?usage: package.sh build|lint|road SOURCE_DIR WORK_DIR [VERSION]}
src=${2:?}
work=${3:?}
release="$work/build-release"

if [ "$mode" = build ]; then
    mkdir -p "$work"
    TVB_RELEASE_BUILD_DIR="$release" "$src/dev" package
    exit 0
fi

shopt -s nullglob
debs=("$release"/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one package in $release, found ${#debs[@]}"
deb=${debs[0]}

if [ "$mode" = lint ]; then
    # Debian's own checks; what they only mention (I:, X:) is left to judgement.
    status=0
    out=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
    [ $status -eq 0 ] || fail "lintian (status $status): $out"
    note "lintian: no errors or warnings"
    exit 0
fi

[ "$mode" = road ] || fail "unknown mode $mode"
version=${4:?}
make_scratch package
root="$scratch/root"
dpkg-deb -x "$deb" "$root"
bin="$root/usr/bin"
lib="$root/usr/lib/tarvelle"
doc="$root/usr/share/doc/tarvelle-button-poller"

note "metadata of $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Package)" = tarvelle-button-poller ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libc6 libplist; do
    [[ $depends == *"$needed"* ]] || fail "Depends ($depends) lacks $needed: shared-library dependencies not computed"
done
head -n 1 "$doc/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "no machine-readable copyright file"
# A version without a Debian revision is a native package's: its changelog is changelog.gz.
[[ $version != *-* ]] || fail "the test expects a native version, not $version"
zcat "$doc/changelog.gz" | head -n 1 | grep -q "^tarvelle-button-poller ($version) " ||
    fail "changelog.gz does not begin with version $version"
# apt and dpkg show the long description as it is, in an 80-column terminal.
wide=$(dpkg-deb -f "$deb" Description | awk 'length > 80')
[ -z "$wide" ] || fail "description lines wider than 80 columns: $wide"
# Nothing to run at install or removal: no library the dynamic linker looks up, and user
# units are enabled by each user. dpkg keeps every file under /etc as a conffile, so an
# administrator's change survives an upgrade and goes only with a purge.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[ "$control" = "conffiles control md5sums " ] || fail "control archive holds: $control"
conffiles=$(dpkg-deb --info "$deb" conffiles | sort)
in_etc=$(cd "$root" && find etc \( -type f -o -type l \) | sed 's|^|/|' | sort)
[ -n "$in_etc" ] && [ "$conffiles" = "$in_etc" ] ||
    fail "conffiles ($conffiles) are not the files under /etc ($in_etc)"
for bundle in TarvelleButtonPoller SampleBackup; do
    plist="$lib/$bundle.app/Contents/Info.plist"
    for key in CFBundleVersion CFBundleShortVersionString; do
        grep -A1 "<key>$key</key>" "$plist" | grep -q "<string>$version</string>" ||
            fail "$bundle.app's $key is not $version"
    done
done

note "installed paths"
[ "$(readlink -f "$bin/TarvelleButtonPoller")" = "$(readlink -f "$lib/TarvelleButtonPoller.app/Contents/MacOS/TarvelleButtonPoller")" ] ||
    fail "bin/TarvelleButtonPoller does not lead into the unpacked bundle"
for page in "$src"/man/*.scd; do
    name=$(basename "$page" .scd)
    [ -f "$root/usr/share/man/man${name##*.}/$name.gz" ] || fail "manual page $name not packaged"
done
for completion in "$src"/completion/*; do
    [ -f "$root/usr/share/bash-completion/completions/$(basename "$completion")" ] ||
        fail "completion $(basename "$completion") not packaged"
done
grep -qx 'ExecStart=/usr/bin/TarvelleButtonPoller' "$root/usr/lib/systemd/user/tarvelle-button-poller.service" ||
    fail "the poller's unit does not start /usr/bin/TarvelleButtonPoller"
# Every program a unit or autostart entry names is one the package brings, under /usr.
started=0
for file in "$root"/usr/lib/systemd/user/*.service "$root"/etc/xdg/autostart/*.desktop; do
    while IFS= read -r program; do
        started=$((started + 1))
        [[ $program == /usr/bin/* ]] && [ -x "$root$program" ] ||
            fail "${file#"$root"} names $program, which the package does not bring"
    done < <(sed -n 's/^\(ExecStart\|Exec\|TryExec\)=\([^ ]*\).*/\2/p' "$file")
done
[ $started -eq 6 ] || fail "expected 6 programs named (ExecStart= of 2 units, Exec= and TryExec= of 2 entries), found $started"
# Nothing may look for libraries in the build tree or anywhere but the system's places, and
# everything is hardened as a distribution's programs are: position-independent, relocations
# resolved at start and then read-only, stack protector and checked string functions in use.
elf_files=0
while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    elf_files=$((elf_files + 1))
    name=${file#"$root"}
    dynamic=$(readelf -dW "$file")
    grep -E 'RPATH|RUNPATH' <<<"$dynamic" && fail "$name carries a library search path"
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || fail "$name is not linked with -z now"
    readelf -lW "$file" | grep -q GNU_RELRO || fail "$name has no read-only relocations (-z relro)"
    [ "$(readelf -hW "$file" | sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p')" = DYN ] ||
        fail "$name is not position-independent"
    symbols=$(readelf --dyn-syms -W "$file")
    grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$name is built without the stack protector"
    grep -Eq ' __[a-z_]+_chk(@| |$)' <<<"$symbols" || fail "$name uses no checked functions (_FORTIFY_SOURCE)"
done < <(find "$root" -type f -print0)
[ $elf_files -ge 5 ] || fail "expected the 4 programs and the capture library, found $elf_files ELF files"

note "the road of a press from the unpacked files"
use_scratch_home
export TVB_CLOCK_SCALE=10
export TVB_SYSLOG_FILE="$scratch/syslog.txt"
export TVB_BACKUP_LOG="$scratch/backup.log"
export TVB_BACKUP_SECONDS=2
export TVB_BACKUP_MODE=end
ctl() { "$bin/tvbctl" "$@"; }

start host "$bin/tvb-devhost"
host_pid=$last_pid
wait_for 20 "the device host" ctl ping
[ -S "$XDG_RUNTIME_DIR/tvb-devhost.sock" ] || fail "the host does not listen on the default socket"
write_preferences "$doc/examples/TotalMedia Backup.plist" "$lib/SampleBackup.app"
mkdir -p "$HOME/ToBackUp"
echo "from the package" >"$HOME/ToBackUp/note.txt"
start poller env LD_PRELOAD="$lib/tools/libtvbsyslogcapture.so" "$bin/TarvelleButtonPoller"
poller_pid=$last_pid

ctl attach PKG-1 --bridge-serial BRIDGE-PKG --volume Data:1000000:250000 >/dev/null
wait_for 20 "the poller to list the drive" sh -c "\"$bin/tvbctl\" list | grep -q '^PKG-1 .*watchers=1'"
ctl press PKG-1
launch="$HOME/Documents/For Button Manage/LaunchBackup"
wait_for 20 "the launch file" test -s "$launch"
cmp <(printf 'BRIDGE-PKG\r\nData\r\n') "$launch" || fail "the launch file holds $(od -An -c "$launch")"
grep -q 'GeneralMessage:  Polled button press' "$TVB_SYSLOG_FILE" || fail "the press was not logged"
wait_for 20 "the backup to end" grep -q 'wrote .*EndBackup' "$TVB_BACKUP_LOG"
wait_for 20 "the lights to be switched on" sh -c "\"$bin/tvbctl\" lights PKG-1 | grep -qx 'value=25 shown=on commands=[0-9]*'"
if [ -e "$launch" ] || [ -e "$HOME/Documents/For Button Manage/EndBackup" ]; then
    fail "the hand-off files were not cleaned up"
fi
[ "$(cat "$HOME/Backups/Data/note.txt")" = "from the package" ] || fail "the sample backed up nothing"

stop_cleanly "$poller_pid" "the poller"
stop_cleanly "$host_pid" "the device host"
note "the road is clean"

# The sample backup application says what went wrong where the user can see it: standard
# error, which is the journal when the poller opens it.
status=0
out=$(timeout 10 "$lib/SampleBackup.app/Contents/MacOS/SampleBackup" "$scratch/no-launch-file" 2>&1) || status=$?
[ $status -ne 0 ] && [[ $out == *"cannot read the launch file $scratch/no-launch-file"* ]] ||
    fail "SampleBackup on a missing launch file gave status $status and: $out"

# Each program names the package's version, and --version starts nothing.
for program in tvb-devhost tvbctl TarvelleButtonPoller; do
    status=0
    out=$(timeout 10 "$bin/$program" --version 2>&1) || status=$?
    if [ $status -ne 0 ] || [[ $out != *"$version"* ]]; then
        fail "$program --version gave status $status and: $out"
    fi
done
note "done"
