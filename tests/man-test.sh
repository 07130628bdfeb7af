#!/bin/sh
# Renders each built man page (given as arguments) and fails on any warning of the
# formatter or a missing section.
set -u
status=0
for page in "$@"; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
    if [ -n "$warnings" ]; then
        echo "FAILED: $page: $warnings"
        status=1
    fi
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES EXAMPLES; do
        if ! printf '%s\n' "$text" | grep -qx "$section"; then
            echo "FAILED: $page has no $section section"
            status=1
        fi
    done
    [ "$status" -eq 0 ] && echo "ok: $page"
done
exit "$status"
