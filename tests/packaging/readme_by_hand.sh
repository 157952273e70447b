#!/usr/bin/env bash
# readme_by_hand.sh SOURCE_DIR BUILD_DIR: follows the README's "Playing with it by hand" block
# word for word, in a scratch home with its own runtime folder, from a folder where build/
# and examples/ are the real ones. First, the README's "Layout" must name only folders that
# are there, and every folder CMake builds at the top of the tree and in src/ and tests/.
#
# Each command runs once in this shell (so `&` and `kill %1` work as they would for a reader),
# except a command followed by "#> " lines: that one is run again until its output is exactly
# those lines, "*" matching anything (the reader would look again a little later). Other
# comment lines are skipped. At the end every job started with `&` must have ended with
# status 0.
# shellcheck source=tests/packaging/lib.sh
source "$(dirname "$0")/lib.sh"
src=${1:?usage: readme_by_hand.sh SOURCE_DIR BUILD_DIR}
build=${2:?}
make_scratch by-hand

# The layout's folders, as "NAME/" at the start of an indented line.
mapfile -t listed < <(awk '
    /^## Layout/ { section = 1; next }
    section && /^## / { exit }
    section && /^    [^ ]/ { print $1 }
' "$src/README.md" | grep '/$')
[ ${#listed[@]} -gt 0 ] || fail "no folders under \"Layout\" in README.md"
for folder in "${listed[@]}"; do
    [ -d "$src/$folder" ] || fail "README.md's layout names $folder, which is not there"
done
listed_lines=$'\n'$(printf '%s\n' "${listed[@]}")$'\n'
while IFS= read -r folder; do
    [[ $listed_lines == *$'\n'"$folder/"$'\n'* ]] || fail "README.md's layout does not name $folder/"
done < <(cd "$src" && find . src tests -mindepth 2 -maxdepth 2 -name CMakeLists.txt |
    sed 's|^\./||; s|/CMakeLists.txt$||' | grep -vx 'tests\|build.*' | sort)

# The first ``` block after the heading.
mapfile -t block < <(awk '
    /^## Playing with it by hand/ { section = 1; next }
    section && /^## / { exit }
    section && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }
' "$src/README.md")
[ ${#block[@]} -gt 0 ] || fail "no command block under \"Playing with it by hand\" in README.md"

# Commands, each with its expected lines, continuation lines joined.
commands=()
expectations=()
for line in "${block[@]}"; do
    if [[ $line == "#> "* || $line == "#>" ]]; then
        [ ${#commands[@]} -gt 0 ] || fail "README: expected output before any command"
        last=$((${#commands[@]} - 1))
        expectations[last]+="${line#"#>"}"$'\n'
    elif [[ -z ${line// /} || $line == "#"* ]]; then
        continue
    elif [ ${#commands[@]} -gt 0 ] && [[ ${commands[-1]} == *\\ ]]; then
        commands[-1]+=$'\n'"$line"
    else
        commands+=("$line")
        expectations+=("")
    fi
done

mkdir -p "$scratch/tree"
ln -s "$(cd "$build" && pwd)" "$scratch/tree/build"
ln -s "$(cd "$src" && pwd)/examples" "$scratch/tree/examples"
use_scratch_home
export TVB_CLOCK_SCALE=5
# The sample's log names its pid, so that cleanup can find a backup left running.
export TVB_BACKUP_LOG="$scratch/backup.log"
cd "$scratch/tree"

# matches OUTPUT EXPECTED: every line of OUTPUT matches the glob on the same line of EXPECTED.
matches() {
    local -a got want
    mapfile -t got <<<"${1%$'\n'}"
    mapfile -t want <<<"${2%$'\n'}"
    [ ${#got[@]} -eq ${#want[@]} ] || return 1
    local i
    for i in "${!want[@]}"; do
        # shellcheck disable=SC2053 # the expected line is a pattern
        [[ ${got[i]} == ${want[i]# } ]] || return 1
    done
}

jobs_started=()
for i in "${!commands[@]}"; do
    command=${commands[i]}
    expected=${expectations[i]}
    echo "\$ $command"
    if [ -z "$expected" ]; then
        status=0
        eval "$command" || status=$?
        [ $status -eq 0 ] || fail "'$command' failed with status $status"
        if [[ $command =~ \&[[:space:]]*$ ]]; then
            jobs_started+=("$!")
            started_pids+=("$!")
        fi
        continue
    fi
    deadline=$((SECONDS + 30))
    until output=$(eval "$command" 2>&1) && matches "$output" "$expected"; do
        [ $SECONDS -lt $deadline ] ||
            fail "'$command' still prints:"$'\n'"$output"$'\n'"instead of:"$'\n'"$expected"
        sleep 0.1
    done
    printf '%s\n' "$output"
done

for pid in "${jobs_started[@]}"; do
    status=0
    wait "$pid" || status=$?
    [ $status -eq 0 ] || fail "a job started in the README (pid $pid) ended with status $status"
done
started_pids=()
note "the README's by-hand steps work"
