#!/usr/bin/env bash
# Renders every scdoc page in a folder as it is installed and lints the result with mandoc:
# any warning or error fails. Usage: man-lint.sh MAN_DIR
set -uo pipefail
dir=$1
scratch=$(mktemp -d /tmp/tvb-manlint-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
pages=0 failed=0
for page in "$dir"/*.scd; do
    [ -e "$page" ] || continue
    pages=$((pages + 1))
    name=$(basename "$page" .scd)
    if ! "$dir/scdoc-render.sh" "$page" >"$scratch/$name" 2>"$scratch/$name.err"; then
        echo "FAIL: $name does not render: $(cat "$scratch/$name.err")"
        failed=$((failed + 1))
        continue
    fi
    # Named NAME.SECTION, so that mandoc also checks the title's section against the name.
    messages=$(cd "$scratch" && mandoc -T lint -W warning "$name" 2>&1)
    if [ -n "$messages" ]; then
        echo "FAIL: $name:"
        echo "$messages"
        failed=$((failed + 1))
    fi
done
if [ "$pages" -eq 0 ]; then
    echo "FAIL: no pages in $dir"
    exit 1
fi
echo "$pages pages rendered, $failed failed"
[ "$failed" -eq 0 ]
