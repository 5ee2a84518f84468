#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# Runs scripts/sandbox under Xvfb for a few seconds: it must bring the whole
# stack up, show the window, save a screenshot, end with status 0 when closed
# by --exit-after and leave no process behind; then `scripts/sandbox --check`
# must find the whole platform in place.
#   run-launcher.sh SANDBOX_SCRIPT BUILD_DIR
command -v Xvfb >/dev/null 2>&1 || { echo "Xvfb is not installed"; exit 77; }
out=$(mktemp -d) || exit 1
trap 'rm -rf "$out"' EXIT
TMPDIR=$out "$1" --build-dir "$2" --xvfb --screenshot-delay 4 --exit-after 7 > "$out/log" 2>&1
status=$?
cat "$out/log"
# Another build tree's sandbox on this machine may hold the hosts' port.
if [ "$status" -ne 0 ] && grep -q 'ovra-sandbox-usbipd: cannot listen on' "$out/log"; then
    echo "SKIP: another process listens on the sandbox's remote hosts"
    exit 77
fi
shot=$(sed -n 's/^sandbox: screenshot //p' "$out/log")
if [ -z "$shot" ] || [ ! -s "$shot" ]; then
    echo "FAIL: no screenshot"
    for f in "$out"/ovra-sandbox.*/log/*; do echo "== $f"; cat "$f"; done
    exit 1
fi
# Closed by --exit-after, a requested stop: status 0.
if [ "$status" -ne 0 ]; then
    echo "FAIL: the sandbox ended with status $status"
    exit 1
fi
# The sandbox provides everything the platform check looks at.
TMPDIR=$out "$1" --build-dir "$2" --check > "$out/check" 2>&1
status=$?
cat "$out/check"
if [ "$status" -ne 0 ] || [ "$(grep -c '^OK       ' "$out/check")" -ne 11 ] \
    || grep -qv '^OK       ' "$out/check"; then
    echo "FAIL: --check in the sandbox ended with status $status, not all OK"
    exit 1
fi
if ps -eo args | grep -F "$out/" | grep -v grep; then
    echo "FAIL: processes of the sandbox are still running"
    exit 1
fi
echo "PASS"
