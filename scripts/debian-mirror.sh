#!/bin/sh
# Prints the Debian mirror for bookworm: DEBIAN_MIRROR when set, else the one the system's
# apt sources name (deb822 or one-line form). With neither it says so and fails.
mirror=${DEBIAN_MIRROR:-$(
    {
        awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ && uri { print uri; exit }' \
            /etc/apt/sources.list.d/*.sources 2>/dev/null
        awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | head -n 1
)}
if [ -z "$mirror" ]; then
    echo "debian-mirror: apt's sources name no Debian mirror for bookworm; set DEBIAN_MIRROR to one" >&2
    exit 1
fi
echo "$mirror"
