// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QByteArray>
#include <QStringList>

// The block devices that carry the running system: whatever holds "/",
// "/boot", "/boot/efi" or "/efi" or is active swap, with every device below
// it in its stack (partition, disk, LUKS container, LVM volume, md array
// members) and every other device of the same file system (a btrfs that
// spans two disks). Read from `lsblk` in its inverse dependency view, where
// each device lists the devices it is built on.
namespace SystemDisks {

enum class Problem {
    None,
    NotRun, // lsblk did not start or did not finish in time
    Failed, // lsblk exited with an error
    Unreadable, // its output is not the JSON it prints
    NoRoot, // no block device holds "/" (a root on the network, in memory...)
};

struct Result
{
    Problem problem = Problem::None;
    // The device paths ("/dev/sda", "/dev/mapper/vg0-root") of the system's
    // stacks; empty unless the problem is None.
    QStringList devices;
    // lsblk's own message when it failed.
    QByteArray toolMessage;
};

// The program and its arguments.
inline constexpr char Program[] = "lsblk";
QStringList arguments();

// The devices of the JSON that `lsblk` with arguments() printed.
Result fromLsblk(const QByteArray &json);

// How long lsblk may take.
constexpr int TimeoutMs = 10000;

// Runs lsblk and reads its output.
Result find();

} // namespace SystemDisks
