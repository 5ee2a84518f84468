#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# SPDX-FileCopyrightText: 2026 Ovra admin usbip developers
# The test guest's only job: the installed program and Manager service, real
# polkitd and usbipd on this kernel's USB/IP stack, with two real USB sticks
# (a mass-storage gadget on dummy_hcd, made through configfs, and QEMU's
# emulated stick). The Manager is called as the desktop program calls it, from
# the desktop user's session, through its real bus activation file, unit and
# bus policy. Every step prints "STEP <name>: PASS" or
# "STEP <name>: FAIL - <reasons>"; the run passes only when every step does.
# Records for the report (every tool output verbatim, the Manager's log) go to
# /mnt/share/out.
set -u
export LC_ALL=C.UTF-8
share=/mnt/share
out=$share/out
mkdir -p "$out"
parse=$share/ovra-vm-parsecheck
bus=org.ovra.admin.usbip
unit=ovra-admin-usbip-manager.service
shared_list=/etc/usbip/shared-usb-devices
remote_list=/etc/usbip/remote-usb-devices
gadgets=/sys/kernel/config/usb_gadget
serial_a=OVRAVM-A-0001
serial_b=OVRAVM-B-0002
serial_q=OVRAVM-Q-0003
gadget_ids=0525:a4a5
qemu_ids=46f4:0001
# Names the tool takes from the USB id database, not from the devices.
gadget_name="Linux-USB File-backed Storage Gadget"
qemu_name="unknown product"

up() { cut -d' ' -f1 /proc/uptime; }
ms() { echo $(($(date +%s%N) / 1000000)); }
started=$(up)

# ---- steps and their verdicts ------------------------------------------------
steps=0
failed=()
step_started=0
step() {
    current=$1
    problems=""
    step_started=$(ms)
    echo
    echo "=== [uptime $(up) s] $1: $2"
}
bad() {
    problems="${problems:+$problems; }$*"
    echo "  !! $*"
}
note() { echo "  -- $*"; }
end_step() {
    steps=$((steps + 1))
    local took=$((($(ms) - step_started) / 100))
    if [ -z "$problems" ]; then
        echo "STEP $current: PASS ($((took / 10)).$((took % 10)) s)"
    else
        echo "STEP $current: FAIL - $problems"
        failed+=("$current")
    fi
}

# ---- tools -------------------------------------------------------------------
# cap CMD...: runs CMD and records it verbatim in captures.txt: stdout, each
# stderr line as "stderr| ...", the exit status. CAP_OUT, CAP_RC keep them.
cap() {
    "$@" >/run/cap.out 2>/run/cap.err
    CAP_RC=$?
    CAP_OUT=$(cat /run/cap.out)
    { echo "\$ $*"; cat /run/cap.out; sed 's/^/stderr| /' /run/cap.err; echo "[exit $CAP_RC]"; } \
        | tee -a "$out/captures.txt" | sed 's/^/  | /'
}
# edge CMD...: records an edge case of the tool (error texts, exit codes) for
# the comparison with the sandbox's simulated tool, when the host asked for it.
recording() { [ -f "$share/record" ]; }
edge() { recording && cap "$@"; }
capnote() { recording && echo "--- $*" | tee -a "$out/captures.txt" | sed 's/^/  | /'; }

# as USER CMD...: runs CMD as USER (no PAM session: quicker than runuser).
as() {
    local user=$1
    shift
    setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"
}

# mcall USER METHOD ARG...: calls the Manager as USER, as the program does.
# VALUE holds the reply's value (true, false, or the text), ERROR the bus
# error ("org.x.Name: text"), SIGNALS the Error signals sent meanwhile.
mcall() {
    local user=$1 method=$2 t mark
    shift 2
    mark=$(wc -l </run/signals.log)
    t=$(ms)
    as "$user" dbus-send --system --print-reply --reply-timeout=40000 --dest=$bus / \
        "$bus.Manager.$method" "$@" >/run/m.out 2>/run/m.err
    VALUE=$(tail -n +2 /run/m.out | sed -e '1s/^ *[a-z]* //' -e '1s/^"//' -e '$s/"$//')
    ERROR=$(sed 's/^Error //' /run/m.err)
    sleep 0.1
    SIGNALS=$(tail -n +$((mark + 1)) /run/signals.log | grep '^ *string "' \
        | sed -e 's/^ *string "//' -e 's/"$//' | tr '\n' ' ')
    echo "  [$user] $method $* -> ${ERROR:-$(echo "$VALUE" | head -n 1)} ($(($(ms) - t)) ms)${SIGNALS:+; Error signal: $SIGNALS}"
}
error_name() { echo "${ERROR%%:*}"; }

wait_for() { # SECONDS CMD...: polls CMD until it succeeds
    local until=$(($(ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(ms)" -ge "$until" ] && return 1
        sleep 0.2
    done
}
not() { ! "$@"; }

# The physical device with this serial number (not its vhci twin once attached).
busid_of() {
    local d
    for d in /sys/bus/usb/devices/*-*; do
        case ${d##*/} in *:*) continue ;; esac
        [ "$(cat "$d/serial" 2>/dev/null)" = "$1" ] || continue
        readlink -f "$d" | grep -q vhci_hcd && continue
        echo "${d##*/}"
        return 0
    done
    return 1
}
driver_of() { [ -e "$1/driver" ] && basename "$(readlink -f "$1/driver")"; }
device_driver() { driver_of "/sys/bus/usb/devices/$1"; }
interface_driver() { driver_of "/sys/bus/usb/devices/$1/$1:1.0"; }
bound() { [ "$(device_driver "$1")" = usbip-host ]; }
on_storage() { [ "$(interface_driver "$1")" = usb-storage ]; }
disk_of() { # BUSID -> sdX of its first disk
    local b
    for b in /sys/bus/usb/devices/"$1"/"$1":1.0/host*/target*/*:*:*:*/block/*; do
        [ -e "$b" ] && [ "$(cat "$b/size" 2>/dev/null)" != 0 ] && { echo "${b##*/}"; return 0; }
    done
    return 1
}
has_disk() { disk_of "$1" >/dev/null; }
marker_of() { # BUSID -> the marker file on its disk
    local dev
    dev=$(disk_of "$1") || return 1
    mkdir -p /mnt/stick
    mount -o ro "/dev/$dev" /mnt/stick 2>/dev/null || return 1
    cat /mnt/stick/MARKER.TXT 2>/dev/null
    umount /mnt/stick
}
state() { # BUSID -> one line for the log
    echo "$1: driver $(device_driver "$1" || echo -), interface $(interface_driver "$1" || echo -), usbip_status $(cat "/sys/bus/usb/devices/$1/usbip_status" 2>/dev/null || echo -), disk $(disk_of "$1" || echo -)"
}
loaded() { grep -q "^$1 " /proc/modules; }
modules() { echo "usbip modules loaded: $(awk '$1 ~ /usbip|vhci/ { printf "%s ", $1 }' /proc/modules)"; }
give_back() { # BUSID: a device left without a driver gets its own again
    if [ -z "$(device_driver "$1")" ]; then
        note "$1 has no driver; echo $1 > /sys/bus/usb/drivers_probe"
        echo "$1" >/sys/bus/usb/drivers_probe
        wait_for 15 has_disk "$1"
    fi
}
# port_of HOST/BUSID TEXT -> the port number the port text shows for it
port_of() { echo "$2" | awk -v want="usbip://${1%%/*}:3240/${1#*/}" '/^Port / { p = substr($2, 1, length($2) - 1) } index($0, want) { print p; exit }'; }
vhci_busid_of() { echo "$2" | awk -v want="usbip://${1%%/*}:3240/${1#*/}" 'index($0, want) { print $1; exit }'; }
usbipd_listening() { (exec 3<>/dev/tcp/127.0.0.1/3240) 2>/dev/null; }
manager_running() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
        string:$bus 2>/dev/null | grep -q 'boolean true'
}
stop_manager() {
    systemctl stop "$unit"
    wait_for 10 not manager_running
}
in_list() { grep -qxF "$2" "$1" 2>/dev/null || grep -qF "$2" "$1" 2>/dev/null; }
# journal_mark; ...; journal_since MARK: the Manager's log lines in between.
journal_mark() { journalctl -q -n 1 -o export 2>/dev/null | sed -n 's/^__CURSOR=//p'; }
# The Manager says so when it has tried every constant share and connection.
restore_done() {
    journalctl -q -o cat --no-pager -u "$unit" --after-cursor "$1" 2>/dev/null | grep -q "restore done"
}
journal_since() {
    journalctl --sync 2>/dev/null
    journalctl -q -o cat --no-pager -u "$unit" --after-cursor "$1" 2>/dev/null
}

make_gadget() { # NAME SERIAL MARKER UDC
    local g=$gadgets/$1 img=/var/tmp/$1.img
    rm -rf "/var/tmp/$1.d"
    mkdir -p "/var/tmp/$1.d"
    echo "$3" >"/var/tmp/$1.d/MARKER.TXT"
    mke2fs -q -F -t ext2 -L "$1" -d "/var/tmp/$1.d" "$img" 8M || return 1
    mkdir "$g" && cd "$g" || return 1
    echo 0x0525 >idVendor
    echo 0xa4a5 >idProduct
    echo 0x0200 >bcdUSB
    echo 0x0100 >bcdDevice
    mkdir strings/0x409
    echo Linux >strings/0x409/manufacturer
    echo "File-Stor Gadget" >strings/0x409/product
    echo "$2" >strings/0x409/serialnumber
    mkdir -p configs/c.1/strings/0x409
    echo "Mass storage" >configs/c.1/strings/0x409/configuration
    echo 100 >configs/c.1/MaxPower
    mkdir functions/mass_storage.0
    echo 1 >functions/mass_storage.0/lun.0/removable
    echo "$img" >functions/mass_storage.0/lun.0/file
    ln -s functions/mass_storage.0 configs/c.1/
    echo "$4" >UDC
    cd /
}

: >"$out/captures.txt"
dbus-monitor --system "type='signal',interface='$bus.Manager'" >/run/signals.log 2>&1 &
monitor=$!
sleep 0.5

########################################################################
step guest "the guest and the installed packages"
uname -a
dpkg-query -W ovra-admin-usbip ovra-admin-usbip-manager usbip polkitd dbus-daemon systemd \
    libqt5core5a 2>&1 | sed 's/^/  /'
for pkg in ovra-admin-usbip ovra-admin-usbip-manager; do
    [ "$(dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null)" = "install ok installed" ] \
        || bad "package $pkg is not installed"
done
for f in /usr/bin/ovra-admin-usbip /usr/libexec/ovra-admin-usbip-manager \
    /usr/share/dbus-1/system-services/$bus.service /usr/share/dbus-1/system.d/$bus.conf \
    /usr/share/polkit-1/actions/$bus.policy /lib/systemd/system/$unit \
    /lib/systemd/system/usbipd.service; do
    [ -e "$f" ] || bad "$f is missing"
done
cap usbip version
end_step

########################################################################
step sticks "two real USB sticks: a gadget on dummy_hcd (configfs) and QEMU's stick"
modprobe dummy_hcd num=2 || bad "modprobe dummy_hcd failed"
modprobe libcomposite && modprobe usb_f_mass_storage || bad "the mass-storage gadget function is missing"
mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
note "UDCs: $(ls /sys/class/udc | tr '\n' ' ')"
marker_a="ovra-vm-marker-A $(cat /proc/sys/kernel/random/uuid)"
marker_b="ovra-vm-marker-B $(cat /proc/sys/kernel/random/uuid)"
marker_q=$(cat "$share/stick-marker.txt" 2>/dev/null)
make_gadget stick-a "$serial_a" "$marker_a" dummy_udc.0 || bad "the gadget could not be made"
wait_for 20 busid_of "$serial_a" >/dev/null
A=$(busid_of "$serial_a")
Q=$(busid_of "$serial_q")
note "gadget A (serial $serial_a): ${A:-missing}; QEMU stick (serial $serial_q): ${Q:-missing}"
[ -n "$A" ] || bad "the gadget with serial $serial_a did not appear"
[ -n "$Q" ] || bad "QEMU's stick with serial $serial_q is missing"
for d in $A $Q; do
    wait_for 20 has_disk "$d" || bad "$d has no disk"
    note "$(state "$d")"
done
[ -n "$A" ] && [ "$(marker_of "$A")" = "$marker_a" ] || bad "the marker of A does not read back locally"
[ -n "$Q" ] && [ "$(marker_of "$Q")" = "$marker_q" ] || bad "the marker of QEMU's stick does not read back locally"
lsusb | sed 's/^/  /'
end_step

########################################################################
step system-bus "the system bus activates the Manager by its unit and bus policy"
systemctl is-active --quiet dbus.service || bad "dbus.service is not active"
dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.ListActivatableNames 2>&1 | grep -q "\"$bus\"" \
    || bad "$bus is not activatable"
manager_running && bad "the Manager runs before anyone called it"
# A call that needs no kernel module (PortsInfo would load vhci-hcd).
as tester dbus-send --system --print-reply --reply-timeout=40000 --dest=$bus / \
    org.freedesktop.DBus.Peer.Ping >/run/m.out 2>/run/m.err \
    || bad "Ping as the desktop user failed: $(cat /run/m.err)"
manager_running || bad "the Manager did not start on the first call"
systemctl is-active --quiet "$unit" || bad "$unit is not active after the bus started it"
note "$unit: $(systemctl show -p MainPID -p ActiveState "$unit" | tr '\n' ' ')"
end_step

########################################################################
step modules-unloaded "no USB/IP module is loaded at the start"
note "$(modules)"
for m in usbip_host vhci_hcd usbip_core; do
    loaded $m && bad "$m is loaded already"
done
capnote "the tools without their modules"
edge usbip list -r 127.0.0.1
edge usbip port
edge usbip bind -b "$Q"
give_back "$Q"
edge usbip unbind -b "$Q"
edge usbip attach -r 127.0.0.1 -b "$Q"
edge usbip detach -p 0
note "$(modules)"
end_step

########################################################################
step module-unavailable "a module that cannot load: the Manager says so and runs nothing"
echo "install usbip_host /bin/false" >/etc/modprobe.d/zz-ovra-vm-block.conf
since=$(journal_mark)
mcall tester ShareDevice string:"$A" string:
if [ "$(error_name)" != "$bus.Error.ModuleUnavailable" ]; then
    bad "ShareDevice with usbip-host not loadable answered '${ERROR:-$VALUE}' instead of the error $bus.Error.ModuleUnavailable (loading the modules on demand is missing)"
fi
bound "$A" && bad "$A was bound"
if ! on_storage "$A"; then
    bad "$A lost its usb-storage driver (driver now '$(device_driver "$A")'): a failed bind did not hand the device back"
fi
ran=$(journal_since "$since" | grep "running usbip" | tr '\n' ' ')
[ -n "$ran" ] && bad "the Manager ran usbip although usbip-host could not load: $ran"
rm -f /etc/modprobe.d/zz-ovra-vm-block.conf
give_back "$A"
note "$(state "$A")"
end_step

########################################################################
step share-loads-usbip-host "ShareDevice (session) loads usbip-host on demand"
note "$(modules)"
mcall tester ShareDevice string:"$Q" string:
if [ "$VALUE" != true ]; then
    bad "ShareDevice with usbip-host unloaded answered '${ERROR:-$VALUE}' (loading usbip-host on demand is missing)"
    give_back "$Q"
    note "loading usbip-host by hand and sharing again"
    modprobe usbip-host
    mcall tester ShareDevice string:"$Q" string:
    [ "$VALUE" = true ] || bad "ShareDevice failed even with usbip-host loaded: ${ERROR:-$VALUE}"
fi
loaded usbip_host || bad "usbip-host is not loaded"
bound "$Q" || bad "$Q is not bound to usbip-host"
in_list "$shared_list" "$qemu_ids" && bad "a session share was written to $shared_list"
note "$(state "$Q"); $(modules)"
end_step

########################################################################
step usbipd "usbipd runs from its unit"
capnote "usbip list -r with no usbipd"
edge usbip list -r 127.0.0.1
systemctl start usbipd.service || bad "systemctl start usbipd.service failed"
wait_for 15 usbipd_listening || bad "usbipd does not listen on 127.0.0.1:3240"
systemctl is-active --quiet usbipd.service || bad "usbipd.service is not active"
end_step

########################################################################
step tools-check "ovra-admin-usbip --check reports everything needed as present"
(cd /tmp && timeout -k 5 30 setpriv --reuid=tester --regid=tester --init-groups -- env -u DISPLAY -u WAYLAND_DISPLAY \
    HOME=/home/tester ovra-admin-usbip --check) >"$out/check.txt" 2>&1
rc=$?
sed 's/^/  check| /' "$out/check.txt"
note "exit status $rc"
if [ $rc = 124 ] || [ $rc = 137 ]; then
    bad "ovra-admin-usbip --check did not end within 30 s (the option is missing: the program started its window)"
elif grep -qiE 'qt\.qpa|display|xcb' "$out/check.txt"; then
    bad "ovra-admin-usbip --check tried to open its window and exited $rc (the --check option is missing)"
elif [ $rc != 0 ]; then
    bad "ovra-admin-usbip --check exited $rc"
elif [ ! -s "$out/check.txt" ]; then
    bad "ovra-admin-usbip --check printed nothing"
fi
end_step

########################################################################
step polkit-denial "a caller polkit refuses gets AccessDenied and nothing runs"
since=$(journal_mark)
before=$(cat "$shared_list" 2>/dev/null | md5sum)
vhci_before=$(loaded vhci_hcd && echo loaded || echo unloaded)
mcall intruder ShareDevice string:"$A" string:$gadget_ids
[ "$(error_name)" = org.freedesktop.DBus.Error.AccessDenied ] \
    || bad "ShareDevice by a refused user answered '${ERROR:-$VALUE}', not AccessDenied"
mcall intruder UnshareDevice string:"$Q" string:$qemu_ids
[ "$(error_name)" = org.freedesktop.DBus.Error.AccessDenied ] \
    || bad "UnshareDevice by a refused user answered '${ERROR:-$VALUE}', not AccessDenied"
mcall intruder ConnectDevice string:"127.0.0.1/$Q/$qemu_ids" boolean:true
[ "$(error_name)" = org.freedesktop.DBus.Error.AccessDenied ] \
    || bad "ConnectDevice by a refused user answered '${ERROR:-$VALUE}', not AccessDenied"
bound "$A" && bad "$A was bound for a refused user"
on_storage "$A" || bad "$A lost its driver for a refused user"
bound "$Q" || bad "$Q was unbound for a refused user"
[ "$(cat "$shared_list" 2>/dev/null | md5sum)" = "$before" ] || bad "$shared_list changed"
[ -s "$remote_list" ] && bad "$remote_list was written"
[ "$(loaded vhci_hcd && echo loaded || echo unloaded)" = "$vhci_before" ] \
    || bad "vhci-hcd was loaded for a refused user"
ran=$(journal_since "$since" | grep -E "running usbip|loading the kernel module" | tr '\n' ' ')
[ -n "$ran" ] && bad "the Manager ran something for a refused user: $ran"
end_step

########################################################################
step share-constant "ShareDevice (constantly) binds the gadget and records it"
mcall tester ShareDevice string:"$A" string:$gadget_ids
[ "$VALUE" = true ] || bad "ShareDevice answered '${ERROR:-$VALUE}'"
bound "$A" || bad "$A is not bound to usbip-host"
in_list "$shared_list" "$gadget_ids" || bad "$shared_list does not list $gadget_ids"
note "$shared_list: $(tr '\n' ' ' <"$shared_list" 2>/dev/null)"
note "$(state "$A")"
capnote "error texts of bind and unbind"
edge usbip bind -b "$A"
edge usbip bind -b 9-9
edge usbip unbind -b 9-9
edge usbip list -l
edge usbip list -p -l
end_step

########################################################################
step list-remote "usbip list -r 127.0.0.1 lists both shares; the program reads them"
cap as tester usbip list -r 127.0.0.1
echo "$CAP_OUT" >"$out/list-r.txt"
[ "$CAP_RC" = 0 ] || bad "usbip list -r exited $CAP_RC"
for d in $A $Q; do
    grep -q "^ *$d: " "$out/list-r.txt" || bad "$d is not listed"
done
"$parse" remote 127.0.0.1 "$out/list-r.txt" | tee "$out/records-remote.txt" | sed 's/^/  record| /'
for want in "remote busid=$A vidpid=$gadget_ids name=\"$gadget_name\" valid=yes host=127.0.0.1 id=127.0.0.1/$A/$gadget_ids keys=localhost/$A/$gadget_ids,127.0.0.1/$A/$gadget_ids" \
    "remote busid=$Q vidpid=$qemu_ids name=\"$qemu_name\" valid=yes host=127.0.0.1 id=127.0.0.1/$Q/$qemu_ids keys=localhost/$Q/$qemu_ids,127.0.0.1/$Q/$qemu_ids"; do
    grep -qxF "$want" "$out/records-remote.txt" || bad "no record '$want'"
done
end_step

########################################################################
step list-local "the program reads this kernel's usbip list -l"
cap as tester usbip list -l
echo "$CAP_OUT" >"$out/list-l.txt"
"$parse" local "$out/list-l.txt" | tee "$out/records-local.txt" | sed 's/^/  record| /'
for want in "local busid=$A vidpid=$gadget_ids name=\"$gadget_name\" valid=yes" \
    "local busid=$Q vidpid=$qemu_ids name=\"$qemu_name\" valid=yes"; do
    grep -qxF "$want" "$out/records-local.txt" || bad "no record '$want'"
done
listed=$(grep -c '^ - busid ' "$out/list-l.txt")
valid=$(grep -c 'valid=yes' "$out/records-local.txt")
[ "$listed" = "$valid" ] || bad "the tool listed $listed devices, the program read $valid"
end_step

########################################################################
step connect-loads-vhci-hcd "ConnectDevice (session) over loopback loads vhci-hcd on demand"
loaded vhci_hcd && bad "vhci-hcd was loaded before"
capnote "attach of an exported device without vhci-hcd"
edge usbip attach -r 127.0.0.1 -b "$Q"
id_a="127.0.0.1/$A/$gadget_ids"
mcall tester ConnectDevice string:"$id_a" boolean:false
if [ "$VALUE" != true ]; then
    bad "ConnectDevice with vhci-hcd unloaded answered '${ERROR:-$VALUE}' (loading vhci-hcd on demand is missing)"
    note "loading vhci-hcd by hand and connecting again"
    modprobe vhci-hcd
    mcall tester ConnectDevice string:"$id_a" boolean:false
    [ "$VALUE" = true ] || bad "ConnectDevice failed even with vhci-hcd loaded: ${ERROR:-$VALUE}"
fi
loaded vhci_hcd || bad "vhci-hcd is not loaded"
[ -s "$remote_list" ] && bad "a session connection was written to $remote_list"
end_step

########################################################################
step ports-info "PortsInfo shows the port; the program reads it"
mcall tester PortsInfo
echo "$VALUE" >"$out/portsinfo-hs.txt"
sed 's/^/  | /' "$out/portsinfo-hs.txt"
port_a=$(port_of "127.0.0.1/$A" "$VALUE")
vhci_a=$(vhci_busid_of "127.0.0.1/$A" "$VALUE")
[ -n "$port_a" ] || bad "PortsInfo shows no port for 127.0.0.1/$A"
echo "$VALUE" | grep -q "^Port $port_a: <Port in Use> at High Speed(480Mbps)$" \
    || bad "port $port_a is not a high-speed port in use"
usbip port >"$out/usbip-port.txt" 2>&1
if ! diff -u "$out/portsinfo-hs.txt" "$out/usbip-port.txt" >"$out/ports.diff"; then
    sed 's/^/  diff| /' "$out/ports.diff"
    bad "PortsInfo differs from what usbip port prints"
fi
"$parse" port "$out/portsinfo-hs.txt" | tee "$out/records-port-hs.txt" | sed 's/^/  record| /'
grep -qxF "port $port_a key=$id_a" "$out/records-port-hs.txt" || bad "no port record 'port $port_a key=$id_a'"
grep -qxF "portdevice busid=$A vidpid=$gadget_ids name=\"$gadget_name\" valid=yes host=127.0.0.1" \
    "$out/records-port-hs.txt" || bad "no device record for port $port_a"
capnote "the exporting side while attached"
edge usbip list -r 127.0.0.1
edge usbip attach -r 127.0.0.1 -b "$A"
edge usbip attach -r 127.0.0.1 -b 9-9
edge usbip --tcp-port 3241 attach -r 127.0.0.1 -b "$A"
edge usbip --tcp-port 3241 list -r 127.0.0.1
end_step

########################################################################
step block-device "the attached gadget's disk appears with its marker file"
if [ -n "$vhci_a" ] && wait_for 20 has_disk "$vhci_a"; then
    note "$vhci_a: /dev/$(disk_of "$vhci_a") -> $(readlink -f "/sys/block/$(disk_of "$vhci_a")" | sed 's|/sys/devices/||')"
    got=$(marker_of "$vhci_a")
    [ "$got" = "$marker_a" ] || bad "the disk's marker reads '$got', not '$marker_a'"
else
    bad "no disk appeared behind vhci port ${port_a:-?} (${vhci_a:-no bus id})"
fi
end_step

########################################################################
step superspeed-stick "QEMU's stick: connected at SuperSpeed, marker read, detached, unshared"
id_q="127.0.0.1/$Q/$qemu_ids"
mcall tester ConnectDevice string:"$id_q" boolean:false
[ "$VALUE" = true ] || bad "ConnectDevice answered '${ERROR:-$VALUE}'"
mcall tester PortsInfo
echo "$VALUE" >"$out/portsinfo-both.txt"
sed 's/^/  | /' "$out/portsinfo-both.txt"
port_q=$(port_of "127.0.0.1/$Q" "$VALUE")
vhci_q=$(vhci_busid_of "127.0.0.1/$Q" "$VALUE")
[ -n "$port_q" ] && [ "$((10#$port_q))" -ge 15 ] || bad "no SuperSpeed port for 127.0.0.1/$Q (port '${port_q}')"
echo "$VALUE" | grep -q "^Port $port_q: <Port in Use> at Super Speed(5000Mbps)$" \
    || bad "port $port_q is not a SuperSpeed port in use"
"$parse" port "$out/portsinfo-both.txt" | tee "$out/records-port-both.txt" | sed 's/^/  record| /'
grep -qxF "port $port_q key=$id_q" "$out/records-port-both.txt" || bad "no port record 'port $port_q key=$id_q'"
grep -qxF "port $port_a key=$id_a" "$out/records-port-both.txt" || bad "no port record 'port $port_a key=$id_a' beside it"
if [ -n "$vhci_q" ] && wait_for 20 has_disk "$vhci_q"; then
    got=$(marker_of "$vhci_q")
    [ "$got" = "$marker_q" ] || bad "the disk's marker reads '$got', not '$marker_q'"
else
    bad "no disk appeared behind vhci port ${port_q:-?}"
fi
mcall tester DisconnectDevice string: string:"$port_q"
[ "$VALUE" = true ] || bad "DisconnectDevice answered '${ERROR:-$VALUE}'"
wait_for 10 not has_disk "$vhci_q" || bad "the disk behind port $port_q stayed"
mcall tester UnshareDevice string:"$Q" string:$qemu_ids
[ "$VALUE" = true ] || bad "UnshareDevice answered '${ERROR:-$VALUE}'"
wait_for 15 has_disk "$Q" || bad "$Q did not get its disk back after the unshare"
[ "$(marker_of "$Q")" = "$marker_q" ] || bad "the marker of $Q does not read back locally after the unshare"
note "$(state "$Q")"
end_step

########################################################################
step detach "DisconnectDevice (session) frees the port; the disk goes"
mcall tester DisconnectDevice string: string:"$port_a"
[ "$VALUE" = true ] || bad "DisconnectDevice answered '${ERROR:-$VALUE}'"
usbip port 2>/dev/null | grep -q "usbip://127.0.0.1:3240/$A$" && bad "the port is still in use"
wait_for 10 not has_disk "$vhci_a" || bad "the disk behind port $port_a stayed"
bound "$A" || bad "$A is no longer bound"
capnote "detach of free and unknown ports"
edge usbip detach -p "$port_a"
edge usbip detach -p 99
edge usbip detach -p 300
edge usbip detach -p x
edge usbip detach -p ""
edge usbip detach -p 250
edge usbip unbind -b "$Q"
end_step

########################################################################
step connect-constant "ConnectDevice (constantly) attaches and records the connection"
mcall tester ConnectDevice string:"$id_a" boolean:true
[ "$VALUE" = true ] || bad "ConnectDevice answered '${ERROR:-$VALUE}'"
in_list "$remote_list" "$id_a" || bad "$remote_list does not list $id_a"
note "$remote_list: $(tr '\n' ' ' <"$remote_list" 2>/dev/null)"
ports=$(usbip port 2>/dev/null)
port_a=$(port_of "127.0.0.1/$A" "$ports")
[ -n "$port_a" ] || bad "no port for $id_a"
end_step

########################################################################
step restart-restore "after a Manager restart the real kernel gets the constant share and connection back"
stop_manager || bad "the Manager did not stop"
note "undoing both behind the stopped Manager's back"
cap usbip detach -p "$port_a"
wait_for 10 not has_disk "$(vhci_busid_of "127.0.0.1/$A" "$ports")"
cap usbip unbind -b "$A"
wait_for 15 has_disk "$A" || note "$A did not get its disk back after the unbind"
note "$(state "$A")"
since=$(journal_mark)
t=$(ms)
mcall tester PortsInfo
manager_running || bad "the Manager did not start again on a call"
if wait_for 40 restore_done "$since"; then
    note "the Manager's restore was done $(($(ms) - t)) ms after the call that started it"
else
    note "the Manager did not say 'restore done' within 40 s"
fi
bound "$A" || bad "the constant share of $A was not restored"
# The attach has returned; the port shows once the kernel has enumerated the
# device behind it (a few tenths of a second later).
port_shows() { usbip port 2>/dev/null | grep -q "usbip://127.0.0.1:3240/$1$"; }
wait_for 20 port_shows "$A" || bad "the constant connection $id_a was not restored"
ports=$(usbip port 2>/dev/null)
port_a=$(port_of "127.0.0.1/$A" "$ports")
vhci_a=$(vhci_busid_of "127.0.0.1/$A" "$ports")
if [ -n "$vhci_a" ] && wait_for 20 has_disk "$vhci_a"; then
    [ "$(marker_of "$vhci_a")" = "$marker_a" ] || bad "the restored disk's marker does not read back"
else
    bad "no disk behind the restored connection"
fi
journal_since "$since" | sed 's/^/  manager| /'
end_step

########################################################################
step disconnect-constant "DisconnectDevice with the device id frees the port and forgets the connection"
mcall tester DisconnectDevice string:"$id_a" string:"${port_a:-00}"
[ "$VALUE" = true ] || bad "DisconnectDevice answered '${ERROR:-$VALUE}'"
in_list "$remote_list" "$id_a" && bad "$remote_list still lists $id_a"
usbip port 2>/dev/null | grep -q "usbip://127.0.0.1:3240/$A$" && bad "the port is still in use"
wait_for 10 not has_disk "${vhci_a:-none}" || bad "the disk behind port $port_a stayed"
end_step

########################################################################
# Healing: the Manager keeps constant shares bound and constant connections
# attached while it runs. QEMU's stick is the device (dummy_hcd's gadget is
# left out of the unbinding). heal_* helpers and variables are these steps'.
id_q="127.0.0.1/$Q/$qemu_ids"
heal_signals=/run/heal-signals.log
now_s() { date +%s.%N; }
# The ConnectionChanged signals (attached true|false) of id_q received since
# line MARK of the desktop user's monitor, one "TIME true|false" each.
heal_changes() {
    tail -n +$(($1 + 1)) "$heal_signals" 2>/dev/null | awk -v id="$id_q" '
        /member=ConnectionChanged/ { t = $2; sub(/^time=/, "", t); want = 0; next }
        /^ *string "/ { want = index($0, "\"" id "\"") > 0; next }
        /^ *boolean / && want { print t, $2; want = 0 }'
}
heal_mark() { wc -l <"$heal_signals"; }
heal_seen() { heal_changes "$1" | grep -q " $2$"; } # MARK true|false
heal_ms() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%d", (b - a) * 1000 }'; }
heal_port() { usbip port 2>/dev/null | grep -q "usbip://127.0.0.1:3240/$Q$"; }
heal_vhci() { vhci_busid_of "127.0.0.1/$Q" "$(usbip port 2>/dev/null)"; }
heal_readable() {
    local v
    v=$(heal_vhci) && [ -n "$v" ] && has_disk "$v" && [ "$(marker_of "$v")" = "$marker_q" ]
}
heal_journal() { journal_since "$1" | grep 'ovra.managerd.heal' | sed 's/^/  manager| /'; }
# heal_idle SECONDS WHAT: the Manager's CPU time while it only watches, and
# the processes started on the whole guest meanwhile (a tool run is one).
heal_idle() {
    local pid cpu0 cpu1 forks0 forks1 hz
    pid=$(systemctl show -p MainPID --value "$unit")
    hz=$(getconf CLK_TCK)
    cpu0=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    forks0=$(awk '/^processes/ { print $2 }' /proc/stat)
    sleep "$1"
    forks1=$(awk '/^processes/ { print $2 }' /proc/stat)
    cpu1=$(awk '{ print $14 + $15 }' "/proc/$pid/stat")
    # A fixed loop, to compare this guest's speed (software emulation where
    # the host offers no KVM) with a real machine's.
    local loop
    loop=$( { TIMEFORMAT=%3R; time awk 'BEGIN { for (i = 0; i < 2000000; i++) s += i }'; } 2>&1)
    note "IDLE, $2: $((cpu1 - cpu0)) ticks of 1/$hz s CPU in $1 s ($(awk -v t=$((cpu1 - cpu0)) -v hz="$hz" -v s="$1" 'BEGIN { printf "%.3f", t * 100 / hz / s }') % of a processor); processes started on the whole guest meanwhile: $((forks1 - forks0)), 2 of them this test's sleep and awk; a reference loop of 2000000 awk rounds takes $loop s here"
}

step heal-share "a constant share unbound behind the Manager's back is bound again"
mcall tester ShareDevice string:"$Q" string:$qemu_ids
[ "$VALUE" = true ] || bad "ShareDevice answered '${ERROR:-$VALUE}'"
bound "$Q" || bad "$Q is not bound"
since=$(journal_mark)
t=$(ms)
cap usbip unbind -b "$Q"
if wait_for 20 bound "$Q"; then
    note "bound again $(($(ms) - t)) ms after the unbind"
else
    bad "$Q was not bound again within 20 s"
fi
heal_journal "$since"
[ "$(journal_since "$since" | grep -c 'is shared again')" = 1 ] \
    || bad "the Manager did not log 'is shared again' once"
# From here on a session share: the exporter decides when it comes back.
mcall tester UnshareDevice string:"$Q" string:$qemu_ids
[ "$VALUE" = true ] || bad "UnshareDevice answered '${ERROR:-$VALUE}'"
wait_for 15 has_disk "$Q" || bad "$Q did not get its disk back"
sleep 3
bound "$Q" && bad "$Q was bound again after UnshareDevice"
end_step

########################################################################
step heal-connection "the exporter lets a constant connection's device go and takes it back: the Manager attaches it again"
# The desktop user listens, as the window does: an ordinary user receives the signal.
as tester dbus-monitor --system "type='signal',interface='$bus.Manager',member='ConnectionChanged'" \
    >"$heal_signals" 2>&1 &
heal_monitor=$!
mcall tester ShareDevice string:"$Q" string:
[ "$VALUE" = true ] || bad "ShareDevice (session) answered '${ERROR:-$VALUE}'"
mcall tester ConnectDevice string:"$id_q" boolean:true
[ "$VALUE" = true ] || bad "ConnectDevice answered '${ERROR:-$VALUE}'"
wait_for 20 heal_readable || bad "the constant connection's disk does not read back"
for f in /sys/devices/platform/vhci_hcd.0/status*; do echo "== $f"; cat "$f"; done >"$out/vhci-status.txt" 2>&1
for f in /var/run/vhci_hcd/port*; do echo "$f: $(cat "$f")"; done >"$out/vhci-records.txt" 2>&1
sed 's/^/  | /' "$out/vhci-records.txt"
heal_idle 60 "one constant connection and one constant share"
since=$(journal_mark)
mark=$(heal_mark)
lost=$(now_s)
cap usbip unbind -b "$Q"
if wait_for 10 heal_seen "$mark" false; then
    note "DETECTION: ConnectionChanged(false) $(heal_ms "$lost" "$(heal_changes "$mark" | awk '$2 == "false" { print $1; exit }')") ms after the unbind"
else
    bad "no ConnectionChanged(false) reached the desktop user within 10 s of the unbind"
fi
heal_port && bad "the port is still in use after the unbind"
sleep 4
back=$(now_s)
cap usbip bind -b "$Q"
if wait_for 60 heal_port; then
    port_at=$(now_s)
    if wait_for 30 heal_readable; then
        note "HEAL: port attached $(heal_ms "$back" "$port_at") ms, disk readable $(heal_ms "$back" "$(now_s)") ms after the export's return"
    else
        bad "the disk behind the re-attached port does not read back"
    fi
else
    bad "the Manager did not attach $id_q again within 60 s of the export's return"
fi
wait_for 5 heal_seen "$mark" true || bad "no ConnectionChanged(true) reached the desktop user"
heal_changes "$mark" | sed 's/^/  signal| /'
heal_journal "$since"
tries=$(journal_since "$since" | grep -c 'is not back yet')
[ "$tries" -le 2 ] || bad "$tries log lines about retries: one per change of state is wanted"
end_step

########################################################################
step heal-usbipd "the exporter's usbipd restarts: the connection survives or comes back"
since=$(journal_mark)
mark=$(heal_mark)
systemctl restart usbipd.service || bad "systemctl restart usbipd.service failed"
wait_for 15 usbipd_listening || bad "usbipd does not listen again"
sleep 3
if heal_port && heal_readable; then
    note "the connection lived through the restart (the kernel holds it, not usbipd)"
else
    wait_for 60 heal_readable || bad "the connection did not come back after the restart"
fi
note "the exporting host goes away (usbipd stops, the device is let go) and comes back"
systemctl stop usbipd.service
cap usbip unbind -b "$Q"
wait_for 10 heal_seen "$mark" false || bad "no ConnectionChanged(false) after the exporter went away"
# Lost again soon after it came back, the connection goes on with its
# back-off: the next try can be 8 s or more away.
heal_unanswered() { journal_since "$since" | grep -q 'does not answer'; }
wait_for 40 heal_unanswered || bad "the Manager did not say that the host does not answer"
cap usbip bind -b "$Q"
systemctl start usbipd.service
wait_for 15 usbipd_listening || bad "usbipd does not listen again"
back=$(now_s)
if wait_for 60 heal_readable; then
    note "HEAL after usbipd's start: disk readable $(heal_ms "$back" "$(now_s)") ms after usbipd listened again"
else
    bad "the Manager did not attach $id_q again within 60 s of usbipd's return"
fi
heal_journal "$since"
end_step

########################################################################
step heal-disconnect "a Disconnect stops healing at once: the device stays disconnected when it comes back"
mark=$(heal_mark)
cap usbip unbind -b "$Q"
wait_for 10 heal_seen "$mark" false || bad "no ConnectionChanged(false) after the unbind"
mcall tester DisconnectDevice string:"$id_q" string:
[ "$VALUE" = true ] || bad "DisconnectDevice without a port answered '${ERROR:-$VALUE}'"
in_list "$remote_list" "$id_q" && bad "$remote_list still lists $id_q"
cap usbip bind -b "$Q"
sleep 12
heal_port && bad "the Manager attached $id_q again after the Disconnect"
heal_seen "$mark" true && bad "ConnectionChanged(true) after the Disconnect"
mcall tester UnshareDevice string:"$Q" string:
[ "$VALUE" = true ] || bad "UnshareDevice answered '${ERROR:-$VALUE}'"
wait_for 15 has_disk "$Q" || bad "$Q did not get its disk back"
heal_idle 30 "one constant share, no constant connection"
kill "$heal_monitor" 2>/dev/null
cp "$heal_signals" "$out/heal-signals.log"
note "$(state "$Q")"
end_step

########################################################################
step serial-restore "two identical gadgets: the restore binds the one shared, by its serial number"
stop_manager || bad "the Manager did not stop"
cap usbip unbind -b "$A"
wait_for 15 has_disk "$A"
note "a second gadget with the same ids (serial $serial_b); the two swap controllers"
echo "" >"$gadgets/stick-a/UDC"
wait_for 10 not busid_of "$serial_a" >/dev/null
make_gadget stick-b "$serial_b" "$marker_b" dummy_udc.0 || bad "the second gadget could not be made"
echo dummy_udc.1 >"$gadgets/stick-a/UDC"
wait_for 20 busid_of "$serial_a" >/dev/null
wait_for 20 busid_of "$serial_b" >/dev/null
old_a=$A
A=$(busid_of "$serial_a")
B=$(busid_of "$serial_b")
wait_for 15 has_disk "$A"
wait_for 15 has_disk "$B"
note "A (serial $serial_a) moved from $old_a to ${A:-nowhere}; B (serial $serial_b) is at ${B:-nowhere}"
note "$(state "$A")"
note "$(state "$B")"
edge usbip list -l
since=$(journal_mark)
mcall tester PortsInfo
wait_for 40 restore_done "$since" || note "the Manager did not say 'restore done' within 40 s"
if bound "$A" && bound "$B"; then
    bad "the restore bound both $gadget_ids gadgets (A at $A and B at $B): it matched by vid:pid alone, the serial number of the constant share was not recorded or not used"
elif bound "$B"; then
    bad "the restore bound B (serial $serial_b, at $B) instead of A (serial $serial_a, now at $A)"
elif ! bound "$A"; then
    bad "the restore did not bind A (serial $serial_a), which moved from $old_a to $A"
fi
note "$(state "$A")"
note "$(state "$B")"
bound "$B" && usbip unbind -b "$B" >/dev/null 2>&1
end_step

########################################################################
step unshare "UnshareDevice gives the gadget back to this machine and forgets the share"
if ! bound "$A"; then
    note "A is not bound (an earlier step failed); sharing it for the session first"
    mcall tester ShareDevice string:"$A" string:
fi
mcall tester UnshareDevice string:"$A" string:$gadget_ids
[ "$VALUE" = true ] || bad "UnshareDevice answered '${ERROR:-$VALUE}'"
in_list "$shared_list" "$gadget_ids" && bad "$shared_list still lists $gadget_ids"
wait_for 15 has_disk "$A" || bad "$A did not get its disk back"
[ "$(marker_of "$A")" = "$marker_a" ] || bad "the marker of A does not read back locally"
cap usbip list -r 127.0.0.1
grep -q "^ *$A: " <<<"$CAP_OUT" && bad "$A is still exported"
note "$(state "$A")"
end_step

########################################################################
step share-access "who may attach: the Manager's table, in force after its restart and before usbipd; this machine still lists its own exports"
access_table="inet ovra_admin_usbip"
table_has() { nft list table $access_table 2>/dev/null | grep -qF "$1"; }
no_table() { ! nft list table $access_table >/dev/null 2>&1; }
restore_access() { mcall tester SetShareAccess boolean:false array:string:192.0.2.0/24; }
cap systemctl show -p Requires -p After usbipd.service
grep -q '^Requires=.*ovra-admin-usbip-access\.service' <<<"$CAP_OUT" \
    || bad "usbipd.service does not require ovra-admin-usbip-access.service"
grep -q '^After=.*ovra-admin-usbip-access\.service' <<<"$CAP_OUT" \
    || bad "usbipd.service does not start after ovra-admin-usbip-access.service"
no_table || bad "the Manager's table is there before anything was restricted"
mcall intruder SetShareAccess boolean:true array:string:192.0.2.0/24
[ "$(error_name)" = org.freedesktop.DBus.Error.AccessDenied ] \
    || bad "intruder's SetShareAccess answered '${ERROR:-$VALUE}', not AccessDenied"
no_table || bad "a refused SetShareAccess made the table"
mcall tester SetShareAccess boolean:true array:string:192.0.2.0/24,2001:db8::/32
[ "$VALUE" = true ] || bad "SetShareAccess answered '${ERROR:-$VALUE}'"
cap nft list table $access_table
for want in 192.0.2.0/24 2001:db8::/32 'iif "lo" accept' 'tcp dport 3240 drop'; do
    table_has "$want" || bad "the table lacks '$want'"
done
since=$(journal_mark)
systemctl restart "$unit"
wait_for 20 manager_running || bad "the Manager did not come back"
wait_for 20 sh -c "journalctl -q -o cat -u $unit --after-cursor '$since' | grep -q 'share access in force'" \
    || bad "the restarted Manager did not say the share access is in force"
table_has 192.0.2.0/24 && table_has 'tcp dport 3240 drop' || bad "the table is not in place after the Manager's restart"
mcall tester ShareAccess
[ "$(head -n 1 <<<"$VALUE")" = true ] && grep -q '"2001:db8::/32"' <<<"$VALUE" \
    || bad "ShareAccess after the restart answered '${ERROR:-$VALUE}'"
# The order at boot: with the table gone and both units stopped, starting
# usbipd starts the access unit first, which puts the table back.
systemctl stop usbipd.service ovra-admin-usbip-access.service
nft delete table $access_table
systemctl start usbipd.service || bad "usbipd did not start"
wait_for 15 usbipd_listening || bad "usbipd does not listen on 127.0.0.1:3240"
table_has 192.0.2.0/24 || bad "starting usbipd did not put the table in place first"
access_done=$(systemctl show -p ExecMainExitTimestampMonotonic --value ovra-admin-usbip-access.service)
usbipd_started=$(systemctl show -p ExecMainStartTimestampMonotonic --value usbipd.service)
note "access unit done at ${access_done} us, usbipd started at ${usbipd_started} us (monotonic)"
[ "${access_done:-0}" -gt 0 ] && [ "${access_done:-0}" -le "${usbipd_started:-0}" ] \
    || bad "usbipd started before the access unit had put the table in place"
journalctl -q -o cat --no-pager -u ovra-admin-usbip-access.service | tail -n 2 | sed 's/^/  access| /'
# Loopback stays open: this machine lists what it exports.
if [ -n "${A:-}" ]; then
    mcall tester ShareDevice string:"$A" string:
    [ "$VALUE" = true ] || bad "ShareDevice $A answered '${ERROR:-$VALUE}'"
    cap usbip list -r 127.0.0.1
    grep -q "^ *$A: " <<<"$CAP_OUT" || bad "this machine does not list its own export $A over loopback"
    mcall tester UnshareDevice string:"$A" string:
    give_back "$A"
else
    bad "no gadget to share (an earlier step failed)"
fi
restore_access
[ "$VALUE" = true ] || bad "lifting the restriction answered '${ERROR:-$VALUE}'"
no_table || bad "the table stayed after the restriction was lifted"

step dns-sd "while something is shared the Manager announces _usbip._tcp on port 3240 through Avahi"
# Avahi starts after the Manager (as a late start or a restart would); the
# guest's own service is browsed with avahi-browse, one continuous browser
# giving the times from a call to what a browser sees.
host=$(hostname)
own_service() { # the resolved line of this guest's own announcement, if any
    timeout 15 avahi-browse -rtpk _usbip._tcp 2>/dev/null \
        | grep -a "^=;[^;]*;IPv4;$host;_usbip\._tcp;local;" | head -n 1
}
announces() { own_service | grep -q ";3240;.*\"devices=$1\""; }
browse_start() { # a browser whose lines go to /run/browse.log with their time in ms
    rm -f /run/browse.fifo
    mkfifo /run/browse.fifo
    while IFS= read -r line; do echo "$(ms) $line"; done </run/browse.fifo >/run/browse.log &
    browse_reader=$!
    stdbuf -oL avahi-browse -rpk _usbip._tcp >/run/browse.fifo 2>/dev/null &
    browse_pid=$!
    sleep 0.5
}
browse_stop() {
    kill "$browse_pid" 2>/dev/null
    wait "$browse_pid" "$browse_reader" 2>/dev/null
    sed 's/^/  browse| /' /run/browse.log
}
seen() { # MARK PATTERN: the time of the first browser line after MARK matching PATTERN
    awk -v mark="$1" -v pattern="$2" '$1 >= mark && substr($0, index($0, " ") + 1) ~ pattern { print $1; exit }' /run/browse.log
}
was_seen() { [ -n "$(seen "$1" "$2")" ]; }
listed_line="^[+];.*;$host;_usbip._tcp;local"
announced_line="^=;.*;$host;_usbip._tcp;local;"
withdrawn_line="^-;.*;$host;_usbip._tcp;local"
since=$(journal_mark)
for d in /sys/bus/usb/drivers/usbip-host/*-*; do
    [ -e "$d" ] && bad "${d##*/} is still shared from an earlier step"
done
manager_running || mcall tester PortsInfo
systemctl start avahi-daemon.service || bad "avahi-daemon.service does not start"
wait_for 15 avahi-browse -atpk >/dev/null 2>&1 || bad "avahi-browse does not answer"
note "avahi-daemon: $(journalctl -q -o cat -u avahi-daemon.service | grep -E 'interface|startup complete' | tr '\n' ' ')"
[ -n "$(own_service)" ] && bad "announced while nothing is shared: $(own_service)"

browse_start
t=$(ms)
mcall tester ShareDevice string:"$A" string:
[ "$VALUE" = true ] || bad "ShareDevice answered '${ERROR:-$VALUE}'"
if wait_for 20 was_seen "$t" "$announced_line"; then
    note "a browser listed the announcement $(($(seen "$t" "$listed_line") - t)) ms and resolved it $(($(seen "$t" "$announced_line") - t)) ms after ShareDevice was called"
else
    bad "no browser saw an announcement within 20 s of the share"
fi
browse_stop
cap avahi-browse -rtpk _usbip._tcp
line=$(grep -a "^=;[^;]*;IPv4;$host;_usbip\._tcp;local;$host\.local;[^;]*;3240;" <<<"$CAP_OUT")
if [ -z "$line" ]; then
    bad "avahi-browse -rtp does not show $host.local on port 3240"
elif ! grep -q '"devices=1"' <<<"$line" || ! grep -q '"version=1\.1\.1"' <<<"$line"; then
    bad "the TXT record is not devices=1 and version=1.1.1: $line"
fi

note "binding and unbinding $Q behind the Manager's back: the count follows"
cap usbip bind -b "$Q"
wait_for 20 announces 2 || bad "the announcement does not say devices=2 after usbip bind ($(own_service))"
cap usbip unbind -b "$Q"
wait_for 20 announces 1 || bad "the announcement does not say devices=1 after usbip unbind ($(own_service))"
give_back "$Q"

note "restarting avahi-daemon: the Manager announces again"
t=$(ms)
systemctl restart avahi-daemon.service
if wait_for 20 announces 1; then
    note "announced again $(($(ms) - t)) ms after the restart began (avahi-browse -rtp polled)"
else
    bad "not announced again after avahi-daemon restarted"
fi

browse_start
t=$(ms)
mcall tester UnshareDevice string:"$A" string:$gadget_ids
[ "$VALUE" = true ] || bad "UnshareDevice answered '${ERROR:-$VALUE}'"
if wait_for 20 was_seen "$t" "$withdrawn_line"; then
    note "a browser saw the announcement withdrawn $(($(seen "$t" "$withdrawn_line") - t)) ms after UnshareDevice was called"
else
    bad "no browser saw the announcement withdrawn within 20 s of the last unshare"
fi
browse_stop
cap avahi-browse -rtpk _usbip._tcp
grep -aq ";$host;_usbip\._tcp;" <<<"$CAP_OUT" && bad "avahi-browse -rtp still shows $host after the last unshare"
wait_for 15 has_disk "$A" || bad "$A did not get its disk back"
journal_since "$since" | grep -E "announce|Avahi|name" | sed 's/^/  manager| /'
end_step

########################################################################
step modules-load-file "the Manager package's modules-load.d file loads the USB/IP modules at boot"
load_files=$(dpkg -L ovra-admin-usbip-manager 2>/dev/null | grep '/modules-load\.d/.*\.conf$')
if [ -z "$load_files" ]; then
    bad "ovra-admin-usbip-manager installs no modules-load.d file (loading the modules at boot is missing)"
else
    wanted=$(sed -e 's/#.*//' $load_files | tr -s ' \t' '\n' | grep . | tr - _ | sort -u)
    note "$load_files: $(echo "$wanted" | tr '\n' ' ')"
    for m in usbip_host vhci_hcd; do
        echo "$wanted" | grep -qx "$m" || bad "$load_files does not name ${m/_/-}"
    done
    systemctl stop usbipd.service
    unload=$(modprobe -r vhci-hcd usbip-host usbip-core 2>&1)
    note "before: $(modules)"
    still=""
    for m in vhci_hcd usbip_host usbip_core; do
        loaded "$m" && still="$still ${m//_/-}"
    done
    if [ -n "$still" ]; then
        # Still loaded, they would pass the check below without the file.
        bad "could not unload$still before running systemd-modules-load: ${unload:-no reason given}"
    else
        /lib/systemd/systemd-modules-load || bad "systemd-modules-load failed"
        note "after systemd-modules-load: $(modules)"
        for m in $wanted; do
            loaded "$m" || bad "$m is not loaded"
        done
    fi
fi
end_step

########################################################################
journalctl -b --no-pager -o short-monotonic -u "$unit" >"$out/manager.log" 2>&1
journalctl -b --no-pager -o short-monotonic -u polkit.service -u usbipd.service >"$out/services.log" 2>&1
journalctl -b --no-pager -o short-monotonic >"$out/journal.log" 2>&1
cp /run/signals.log "$out/signals.log"
kill "$monitor" 2>/dev/null
echo
echo "=== [uptime $(up) s] done; the test took $(echo "$(up) $started" | awk '{ printf "%.1f", $1 - $2 }') s"
echo "$((steps - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} = 0 ]; then
    echo "OVRAVM-RESULT: PASS"
    exit 0
fi
echo "OVRAVM-RESULT: FAIL (${failed[*]})"
exit 1
