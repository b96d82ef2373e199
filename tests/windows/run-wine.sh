#!/bin/sh
# Runs a Windows program under wine64 in the tests' own prefix, within a time
# limit:   run-wine.sh PREFIX SECONDS PROGRAM [ARGUMENTS...]
# or makes that prefix anew:   run-wine.sh PREFIX SECONDS --new-prefix
# or ends its server and services:   run-wine.sh PREFIX SECONDS --stop
set -eu
prefix=$1
seconds=$2
shift 2
wine=${ZORWIN_WINE64:-/usr/lib/wine/wine64}
server=${ZORWIN_WINESERVER:-$(dirname "$wine")/wineserver}

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# Wine needs a writable home; the build tree's is the only one we own.
export HOME="$prefix.home"
mkdir -p "$HOME"

if [ "$1" = --new-prefix ]; then
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # A server that stays 20 s after its last program keeps Wine's services
    # running from one test to the next, instead of starting them for each.
    # Server and services outlive this step, so they get a log file, not the
    # caller's output, which would otherwise be held open until they end.
    status=0
    timeout -k 10 "$seconds" sh -c '"$1" -p20 && "$2" wineboot --init' sh "$server" "$wine" \
        </dev/null >"$prefix.log" 2>&1 || status=$?
    cat "$prefix.log"
    exit $status
fi

if [ "$1" = --stop ]; then
    exec timeout -k 10 "$seconds" "$server" -k
fi

# The stand-ins beside the program first, Wine's own after them: with native
# only, Wine's services that need the real ones fail to start.
export WINEDLLOVERRIDES="hid,setupapi=n,b"
exec timeout -k 10 "$seconds" "$wine" "$@"
