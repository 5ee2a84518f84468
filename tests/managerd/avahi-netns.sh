#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# The Manager's DNS-SD announcement against a real avahi-daemon, seen from
# another host. Two network namespaces joined by a veth pair (192.0.2.1 and
# 192.0.2.2, TEST-NET-1: nothing leaves them), each with a private system bus
# and an avahi-daemon of its own; this side runs the built Manager with a
# stand-in usbip that binds in a stand-in sysfs, the other side browses with
# avahi-browse and with the program's own browser (HOST-WATCH prints what
# the Remote tab offers). Checks: a share is announced with its TXT record,
# the count follows, the last unshare withdraws it, a restarted Avahi gets it
# again, a name another host announces is replaced; the Remote tab's browser
# offers the host with its address and drops it. Prints how long each
# browser on the other side took to see the announcement and its withdrawal.
#
#   avahi-netns.sh MANAGER FAKE-POLKIT HOST-WATCH
#
# Exit status: 0 pass, 1 fail, 77 this machine cannot run it (not root, no
# avahi-daemon or avahi-utils, no network namespaces).
set -euo pipefail
manager=$1
polkit=$2
watch=$3
skip() {
    echo "avahi-netns: SKIP: $*"
    exit 77
}

if [ -z "${OVRA_AVAHI_NETNS_INSIDE:-}" ]; then
    [ "$(id -u)" = 0 ] || skip "needs root (network namespaces)"
    for tool in avahi-daemon avahi-browse avahi-publish dbus-daemon dbus-send ip unshare stdbuf; do
        command -v "$tool" >/dev/null || skip "$tool is missing (avahi-daemon, avahi-utils)"
    done
    unshare -n -m --propagation private true 2>/dev/null || skip "cannot make namespaces here"
    # A network namespace of our own (also inside one a test runner made),
    # and a mount namespace whose /run is a fresh tmpfs: Avahi's pid file,
    # the second namespace's name and nothing else land there.
    OVRA_AVAHI_NETNS_INSIDE=1 exec unshare -n -m --propagation private -- "$0" "$@"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ovra-avahi-netns.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
mount -t tmpfs -o mode=0755 ovra-run /run
mkdir -p /run/avahi-daemon /run/netns

ms() { echo $(($(date +%s%N) / 1000000)); }
failures=0
bad() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
wait_for() { # SECONDS CMD...
    local until=$(($(ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(ms)" -ge "$until" ] && return 1
        sleep 0.1
    done
}

# ---- the link, the buses, the daemons ----------------------------------------
ip link set lo up
ip netns add peer
ip link add veth-a type veth peer name veth-b netns peer
ip addr add 192.0.2.1/24 dev veth-a
ip link set veth-a up
ip -n peer link set lo up
ip -n peer addr add 192.0.2.2/24 dev veth-b
ip -n peer link set veth-b up

for side in a b; do
    cat >"$work/bus-$side.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus-$side</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_type="method_call"/>
    <allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
    dbus-daemon --config-file="$work/bus-$side.conf" --nofork --nopidfile &
    pids+=($!)
    cat >"$work/avahi-$side.conf" <<EOF
[server]
host-name=ovra-ns-$side
use-ipv4=yes
use-ipv6=no
allow-interfaces=veth-$side
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF
done
bus_a=unix:path=$work/bus-a
bus_b=unix:path=$work/bus-b
wait_for 5 test -S "$work/bus-a" -a -S "$work/bus-b" || bad "the buses did not start"

avahi_a=
start_avahi_a() {
    DBUS_SYSTEM_BUS_ADDRESS=$bus_a avahi-daemon -f "$work/avahi-a.conf" --no-drop-root \
        --no-chroot --no-proc-title >>"$work/avahi-a.log" 2>&1 &
    avahi_a=$!
    pids+=("$avahi_a")
}
start_avahi_a
# The other side's daemon keeps its pid file in a /run of its own.
ip netns exec peer env DBUS_SYSTEM_BUS_ADDRESS="$bus_b" unshare -m --propagation private sh -c \
    'mount -t tmpfs ovra-run /run && mkdir /run/avahi-daemon && exec avahi-daemon -f "$1" --no-drop-root --no-chroot --no-proc-title' \
    sh "$work/avahi-b.conf" >"$work/avahi-b.log" 2>&1 &
pids+=($!)
as_b() { ip netns exec peer env DBUS_SYSTEM_BUS_ADDRESS="$bus_b" "$@"; }
wait_for 10 grep -q "startup complete" "$work/avahi-a.log" || bad "avahi-daemon did not start here"
wait_for 10 grep -q "startup complete" "$work/avahi-b.log" || bad "avahi-daemon did not start on the other side"

# ---- the Manager, with a usbip that binds in its sysfs ---------------------
sysfs=$work/sys
mkdir -p "$sysfs/module/usbip_host" "$sysfs/bus/usb/drivers/usbip-host" "$work/bin" "$work/etc"
: >"$sysfs/bus/usb/drivers_probe"
cat >"$work/bin/usbip" <<EOF
#!/bin/sh
case "\$1" in
    bind) mkdir "$sysfs/bus/usb/drivers/usbip-host/\$3" ;;
    unbind) rmdir "$sysfs/bus/usb/drivers/usbip-host/\$3" ;;
esac
EOF
chmod +x "$work/bin/usbip"
DBUS_SYSTEM_BUS_ADDRESS=$bus_a "$polkit" >"$work/polkit.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q ready "$work/polkit.log" || bad "the polkit stand-in did not start"
DBUS_SYSTEM_BUS_ADDRESS=$bus_a PATH="$work/bin:$PATH" "$manager" --no-restore \
    --config-dir "$work/etc" --state-dir "$work/state" --sysfs-root "$sysfs" \
    --modprobe /bin/true >"$work/manager.log" 2>&1 &
pids+=($!)

call() { # METHOD BUSID: as the program calls the Manager
    DBUS_SYSTEM_BUS_ADDRESS=$bus_a dbus-send --system --print-reply --reply-timeout=30000 \
        --dest=org.ovra.admin.usbip / "org.ovra.admin.usbip.Manager.$1" string:"$2" string: \
        | grep -q 'boolean true' || bad "$1 $2 did not answer true"
}

# ---- what the other side sees ------------------------------------------------
# One browser runs all along; each of its lines is kept with its time.
mkfifo "$work/browse.fifo"
while IFS= read -r line; do echo "$(ms) $line"; done <"$work/browse.fifo" >"$work/browse.log" &
pids+=($!)
as_b stdbuf -oL avahi-browse -rpk _usbip._tcp >"$work/browse.fifo" 2>/dev/null &
pids+=($!)
# The Remote tab's browser runs all along too, and prints its offer with times
# (started without a shell between, so that the cleanup ends it: it outlives
# its bus).
ip netns exec peer env DBUS_SYSTEM_BUS_ADDRESS="$bus_b" "$watch" >"$work/watch.log" 2>"$work/watch.err" &
pids+=($!)
seen() { # MARK PATTERN [LOG [!]]: the time of the first line since MARK that matches (or, with !, does not)
    awk -v mark="$1" -v pattern="$2" -v negate="${4:-}" \
        '$1 >= mark && (substr($0, index($0, " ") + 1) ~ pattern) != (negate == "!") { print $1; exit }' \
        "${3:-$work/browse.log}"
}
was_seen() { [ -n "$(seen "$@")" ]; }
offered="ovra-ns-a [(]192[.]0[.]2[.]1[)]"
resolved() { # NAME: the resolved line a one-shot browse shows for it
    as_b timeout 10 avahi-browse -rtpk _usbip._tcp 2>/dev/null | grep -a "^=;veth-b;IPv4;$1;" | head -n1 \
        || true
}
says() { resolved "$1" | grep -q "$2"; }
gone() { [ -z "$(resolved "$1")" ]; }
announced="^=;veth-b;IPv4;ovra-ns-a;_usbip._tcp;local;ovra-ns-a.local;192.0.2.1;3240;"
withdrawn="^-;veth-b;IPv4;ovra-ns-a;_usbip._tcp;local"
figures=()

sleep 1
gone ovra-ns-a || bad "announced while nothing is shared"

t=$(ms)
call ShareDevice 1-1
if wait_for 15 was_seen "$t" "$announced"; then
    figures+=("share -> resolved on the other side: $(($(seen "$t" "$announced") - t)) ms")
else
    bad "the other side did not see the announcement"
fi
if wait_for 15 was_seen "$t" "$offered" "$work/watch.log"; then
    figures+=("share -> offered in the Remote tab on the other side: $(($(seen "$t" "$offered" "$work/watch.log") - t)) ms")
else
    bad "the Remote tab's browser on the other side did not offer the host"
fi
line=$(resolved ovra-ns-a)
echo "resolved: $line"
case "$line" in
    *'"devices=1"'*'"version=1.1.1"'* | *'"version=1.1.1"'*'"devices=1"'*) ;;
    *) bad "the TXT record is not version=1.1.1 devices=1: $line" ;;
esac

call ShareDevice 2-1
wait_for 15 says ovra-ns-a '"devices=2"' || bad "the count did not follow the second share: $(resolved ovra-ns-a)"
call UnshareDevice 2-1
wait_for 15 says ovra-ns-a '"devices=1"' || bad "the count did not follow the unshare: $(resolved ovra-ns-a)"

t=$(ms)
call UnshareDevice 1-1
if wait_for 15 was_seen "$t" "$withdrawn"; then
    figures+=("last unshare -> withdrawn on the other side: $(($(seen "$t" "$withdrawn") - t)) ms")
else
    bad "the other side still sees the announcement after the last unshare"
fi
if wait_for 15 was_seen "$t" "$offered" "$work/watch.log" !; then
    figures+=("last unshare -> gone from the Remote tab on the other side: $(($(seen "$t" "$offered" "$work/watch.log" !) - t)) ms")
else
    bad "the Remote tab's browser on the other side still offers the host after the last unshare"
fi

# Avahi restarts while something is shared: announced again.
call ShareDevice 1-1
wait_for 15 says ovra-ns-a '"devices=1"' || bad "not announced after the share"
t=$(ms)
kill "$avahi_a"
wait "$avahi_a" 2>/dev/null || true
wait_for 15 was_seen "$t" "$withdrawn" || bad "the other side still sees the announcement of a stopped Avahi"
t=$(ms)
start_avahi_a
if wait_for 20 was_seen "$t" "$announced"; then
    figures+=("Avahi restarted -> announced again on the other side: $(($(seen "$t" "$announced") - t)) ms")
else
    bad "not announced again after Avahi restarted"
fi
call UnshareDevice 1-1
wait_for 15 gone ovra-ns-a || bad "still announced after the last unshare"

# The other host announces our name first: ours becomes "ovra-ns-a #2".
as_b avahi-publish -s ovra-ns-a _usbip._tcp 3240 >"$work/publish.log" 2>&1 &
pids+=($!)
wait_for 10 grep -q Established "$work/publish.log" || bad "the other side could not publish"
call ShareDevice 1-1
wait_for 15 says 'ovra-ns-a\\032\\0352' '"devices=1"' \
    || bad "no announcement under Avahi's alternative name: $(as_b timeout 10 avahi-browse -rtpk _usbip._tcp 2>&1)"

for figure in "${figures[@]}"; do
    echo "figure: $figure"
done
if [ "$failures" != 0 ]; then
    echo "--- browser on the other side"; cat "$work/browse.log"
    echo "--- the Remote tab's browser on the other side"; cat "$work/watch.log" "$work/watch.err"
    echo "--- Manager"; cat "$work/manager.log"
    echo "--- avahi-daemon here"; cat "$work/avahi-a.log"
    echo "avahi-netns: $failures failed"
    exit 1
fi
grep -a "announce" "$work/manager.log" | sed 's/^/manager: /'
echo "avahi-netns: PASS"
