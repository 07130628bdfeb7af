#!/bin/sh
# Prints the Debian mirror the system's apt sources name for bookworm (deb822 or one-line
# form), or Debian's own when they name none.
mirror=$(
    {
        awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri { print uri; exit }' \
            /etc/apt/sources.list.d/*.sources 2>/dev/null
        awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | head -n 1
)
echo "${mirror:-http://deb.debian.org/debian}"
