#!/bin/sh
# Runs a test program in a private mount namespace when it can have one (as root), else as
# it is; the tests that need root then report a skip themselves.
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
    exec unshare -m --propagation private "$@"
fi
exec "$@"
