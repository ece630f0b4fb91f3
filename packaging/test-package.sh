#!/usr/bin/env bash
# The Debian package on this machine: installed with dpkg -i, run from the
# installed path, its man page read, removed with dpkg -r. Needs root.
set -euo pipefail
deb=$(realpath "$1")
if [ "$(id -u)" -ne 0 ]; then
    echo "package test: skipped (dpkg -i needs root)"
    exit 0
fi

# dpkg takes no lock time-out: wait while another install runs.
dpkg_retry() {
    for _ in $(seq 1 60); do
        if "$@" 2>/tmp/trv-dpkg.err; then return 0; fi
        grep -q "lock" /tmp/trv-dpkg.err || { cat /tmp/trv-dpkg.err >&2; return 1; }
        sleep 5
    done
    cat /tmp/trv-dpkg.err >&2
    return 1
}

# Container images leave man pages out unless asked.
dpkg_retry dpkg --path-include='/usr/share/man/*' -i "$deb"
trap 'dpkg_retry dpkg -r vktpoll >/dev/null || true' EXIT

cd "$(mktemp -d)"
/usr/bin/vktpoll --demo --cycles 1 --json > demo.jsonl
grep -q '"event":"publish"' demo.jsonl
# One meter of each model, every one answering.
[ "$(grep -c '"event":"summary".*"answers":[1-9]' demo.jsonl)" -eq 3 ] || { cat demo.jsonl >&2; exit 1; }
getent passwd vktpoll >/dev/null
[ "$(stat -c %G /etc/vktpoll/vktpoll.yaml)" = vktpoll ]
MANPAGER=cat man vktpoll | grep -q "vktpoll serve"
MANPAGER=cat man 5 vktpoll.yaml | grep -q "queue_max"
MANPAGER=cat man vktsim | grep -q "simulated"

trap - EXIT
dpkg_retry dpkg -r vktpoll
[ ! -e /usr/bin/vktpoll ] && [ ! -e /usr/lib/trvplugin-teplokom/trvplugin-teplokom.so ]
echo "package test: passed"
