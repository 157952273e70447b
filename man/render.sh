#!/bin/sh
# render.sh PAGE.scd: the page as roff on standard output.
# scdoc leaves a paragraph macro where no paragraph follows (before and right after a heading,
# at the end of an indented block); mandoc -T lint reports each, so they are dropped here and
# the one closing an indented block moves behind it. The rendered text stays the same.
set -eu
roff=$("${SCDOC:-scdoc}" <"$1")
printf '%s\n' "$roff" | awk '
    function flush() { if (pending) { print ".P"; pending = 0 } }
    /^\.P$/ { if (last !~ /^\.(SH|SS|TH|P)( |$)/) pending = 1; next }
    /^\.(SH|SS)( |$)/ { pending = 0 }
    /^\.RE$/ { print; last = $0; next }
    { flush(); print; last = ($0 ~ /^\./) ? $0 : "" }
'
