#!/usr/bin/env bash
# man_pages_lint.sh SOURCE_DIR: every man/NAME.SECTION.scd renders through man/render.sh
# without a word from scdoc, names itself NAME(SECTION) as its file does, and passes
# mandoc -T lint and groff -ww without a warning.
# shellcheck source=tests/packaging/lib.sh
source "$(dirname "$0")/lib.sh"
src=${1:?usage: man_pages_lint.sh SOURCE_DIR}
make_scratch man

shopt -s nullglob
pages=("$src"/man/*.scd)
[ ${#pages[@]} -gt 0 ] || fail "no manual pages in $src/man"
failed=0
for page in "${pages[@]}"; do
    name=$(basename "$page" .scd)
    roff="$scratch/$name"
    if ! "$src/man/render.sh" "$page" >"$roff" 2>"$scratch/render.err" || [ -s "$scratch/render.err" ]; then
        echo "$name: scdoc: $(cat "$scratch/render.err")"
        failed=1
        continue
    fi
    # tvbctl.1.scd must begin "tvbctl(1)": it is installed and looked up under that name.
    title=$(head -n 1 "$page")
    expected="${name%.*}(${name##*.})"
    if [[ $title != "$expected" && $title != "$expected "* ]]; then
        echo "$name: the title line is '$title', not $expected"
        failed=1
    fi
    lint=$(mandoc -T lint -W warning "$roff" 2>&1) || true
    if [ -n "$lint" ]; then
        echo "$lint"
        failed=1
    fi
    warnings=$(groff -man -ww -z "$roff" 2>&1) || true
    if [ -n "$warnings" ]; then
        echo "$name: groff: $warnings"
        failed=1
    fi
    note "$name renders clean"
done
[ $failed -eq 0 ] || fail "manual pages with warnings"
