#!/bin/sh
# Renders a scdoc page to man(7) on stdout: scdoc, then the paragraph macros that man
# formatters skip anyway (after a heading, before a heading or another paragraph, at the
# end) are dropped, and one before the end of an indented block moves after it, where it
# separates the next item as it was meant to. The page then lints clean with mandoc.
# Usage: scdoc-render.sh PAGE.scd
set -eu
scdoc <"$1" | awk '
    function para(l) { return l == ".P" || l == ".PP" }
    function head(l) { return l ~ /^\.(SH|SS|TH)( |$)/ }
    { line[NR] = $0 }
    END {
        pending = 0; prev = ""
        for (i = 1; i <= NR; i++) {
            l = line[i]
            if (para(l)) { pending = 1; continue }
            if (l == ".RE") { print l; prev = l; continue }
            if (pending && !head(l) && !head(prev) && !para(prev)) print ".P"
            pending = 0
            print l; prev = l
        }
    }'
