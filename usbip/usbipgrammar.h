// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What the `usbip` tool prints and what the list files of /etc/usbip hold,
// read once for the window and the Manager service alike. Every reader hands
// back plain fields, the peer's texts cleaned (OutsideText); the callers
// decide what a usable entry is. Regular
// expressions run in their default mode: "^" and "$" anchor at the text's
// ends, "." stops at a newline, matching is case-sensitive.
namespace UsbIpGrammar {

// ---- bus ids -------------------------------------------------------------

// A bus id names a USB device as the kernel does: bus, hyphen, port on the
// root hub ("1-1"), then ".port" for every hub on the way ("3-1.2.4"): a
// stick in a dock or behind a hub is a device too.

// The whole text is a bus id.
bool isBusId(const QString &text);
// The bus id that a drive's device path names: the deepest path component
// that is a bus id below a "usb..." component, whether the path goes on below
// it (".../1-1/1-1.4/1-1.4:1.0/host6") or ends there (".../usb1/1-1/1-1.4");
// empty when there is none.
QString busIdOfDevicePath(const QString &path);
// The bus id that `text` starts with; empty when it starts with none.
QString leadingBusId(const QString &text);

// "vvvv:pppp" as the tool prints the ids; empty when both ids are empty.
QString vidPidText(const QString &vendorId, const QString &productId);

// ---- `usbip list -l` -----------------------------------------------------

// One block: " - busid BUSID (vvvv:pppp)" and a description line
// "VENDOR : PRODUCT (vvvv:pppp)".
struct LocalDevice
{
    QString busId; // empty when the first line is not of the grammar
    QString vendorId; // the four characters before the colon, as printed
    QString productId;
    QString name; // the product text: after the last " : ", up to the last " ("
    bool described = false; // the block has a line after its first
};

// Blocks begin with " - busid " at the start of the text or of a line; a
// " - " elsewhere (vendor texts contain it) does not start one. A block
// starts with "busid".
QStringList splitLocalBlocks(const QString &text);
LocalDevice parseLocalBlock(const QString &block);
// One entry per block, in output order, whether it follows the grammar or not.
QList<LocalDevice> parseLocalList(const QString &text);

// ---- `usbip bind` --------------------------------------------------------

// What `usbip bind` says on its standard error of a device that is shared
// (bound to usbip-host) already.
inline constexpr char AlreadyBound[] = "already bound to usbip-host";

// ---- `usbip list -r HOST` ------------------------------------------------

// The first line of a device block: "BUSID: VENDOR : PRODUCT (vvvv:pppp)".
struct ExportedDevice
{
    QString busId; // empty when the line does not start with a bus id
    QString vendorId; // empty when the line has no "(vvvv:pppp)"
    QString productId;
    QString name; // after the second colon, up to the last " (" (or the line's end)
    // A device entry the window lists: bus id and name.
    bool isComplete() const { return !busId.isEmpty() && !name.isEmpty(); }
};

// The device blocks: the three header lines go, the rest is split at empty
// lines.
QStringList splitRemoteBlocks(const QString &text);
ExportedDevice parseRemoteBlock(const QString &block);

// ---- `usbip port` --------------------------------------------------------

// One port block (what followed "Port "):
//   "NN: <Port in Use> at SPEED"
//   "VENDOR : PRODUCT (vvvv:pppp)"
//   "LOCALBUSID -> usbip://HOST:PORT/BUSID"
//   "-> remote bus/dev BBB/DDD"
struct PortBlock
{
    int lineCount = 0; // non-empty lines
    QString port; // first line, up to its last colon ("00" stays "00")
    // Description line: the name (as in the local list) with the ids that
    // follow it; without a name, the last "(vvvv:pppp)" of the line.
    QString name;
    QString vendorId;
    QString productId;
    // Remote line: the host up to the colon of the remote port (an IPv6
    // host loses its brackets) and the remote bus id as printed after the
    // last slash (trailing blanks dropped). Empty when the line does not
    // read "-> usbip://HOST:DIGITS/...".
    QString remoteHost;
    QString remoteBusId;
};

// The port text to its port blocks: the two header lines go, each block
// starts after "Port " at the start of a line.
QStringList splitPortBlocks(const QString &portText);
PortBlock parsePortBlock(const QString &block);

// The remote host and remote bus id of every port whose remote line names a
// host and a whole bus id, in port order.
struct PortRemote
{
    QString host;
    QString busId;
};
QList<PortRemote> portRemotes(const QString &portText);

// ---- the vhci driver's port table and the tool's port records -------------

// The vhci driver's port table: /sys/devices/platform/vhci_hcd.0/status, and
// status.N for each further controller. A header line, then one line per
// port: hub, port, status, speed, device, socket and local bus id,
//   "hs  0003 006 003 00010002 000005 3-4"
// The ports on which a device sits (status 5, attached and not yet
// addressed, or 6, in use), in the text's order.
QList<int> vhciPortsInUse(const QString &statusText);

// The record `usbip attach` keeps of the port it used, the file port<N> in
// /var/run/vhci_hcd: "HOST SERVICE BUSID" and a newline, HOST as the tool
// was given it. Both fields are empty when the text is not of that form.
// `usbip detach` removes the record; a connection that the kernel drops by
// itself leaves it behind.
PortRemote portRecord(const QString &text);

// ---- list files ----------------------------------------------------------

// The lists of /etc/usbip hold one entry per line; empty lines are no
// entries. How a reader takes the lines differs per file and reader.
struct ListFileRules
{
    enum class Decoding {
        Utf8,
        Locale, // the locale's 8-bit codec unless a byte-order mark says otherwise
    };
    Decoding decoding;
    bool dropCarriageReturns; // every "\r" goes, as text-mode reading does
    bool trimmed; // leading and trailing blanks go; lines blank after that are dropped
    bool lowerCased;
    // Lines whose first character (after trimming, where trimmed) is "#" are
    // comments, no entries.
    bool comments = false;
};

// The constant-sharing and constant-connections files as the window reads
// them: lines as they stand.
inline constexpr ListFileRules WindowListRules{ListFileRules::Decoding::Locale, true, false, false};
// The blacklist: vid:pid texts, blanks and case ignored.
inline constexpr ListFileRules BlacklistRules{ListFileRules::Decoding::Locale, true, true, true};
// The Manager's own reading of the files it writes: UTF-8, bytes as they stand.
inline constexpr ListFileRules ManagerListRules{ListFileRules::Decoding::Utf8, false, false, false};
// The share-access file: UTF-8, written for people to read: blanks around an
// entry and "#" comment lines are no part of it.
inline constexpr ListFileRules AccessListRules{ListFileRules::Decoding::Utf8, true, true, false,
                                               true};

// The entries of a list file's content.
QStringList listEntries(const QByteArray &content, const ListFileRules &rules);

// The bytes of a list file. A missing file is empty content; a file that
// exists but cannot be read gives false and `error`.
bool readListFileContent(const QString &path, QByteArray *content, QString *error = nullptr);

// The entries of the list file at `path`; on false (the file exists but
// cannot be read) `entries` is empty and `error` says why. A missing file
// has no entries.
bool readListFile(const QString &path, const ListFileRules &rules, QStringList *entries,
                  QString *error = nullptr);

// ---- the share-access file -----------------------------------------------

// Who may attach this machine's shared devices (/etc/usbip/share-access).
// Its first entry is the mode, "restricted" (only this machine and the hosts
// that follow) or "unrestricted" (any host; the hosts that follow are kept
// but not used); every further entry is one host: an IPv4 or IPv6 address or
// prefix, whose form the Manager checks.
inline constexpr char AccessRestricted[] = "restricted";
inline constexpr char AccessUnrestricted[] = "unrestricted";

struct AccessEntries
{
    enum class Mode {
        Unrestricted,
        Restricted,
        Unknown, // no entry at all, or a first entry that is no mode
    };
    Mode mode = Mode::Unknown;
    QStringList hosts; // the entries after the mode, as they stand
};

// The entries of a share-access file (read with AccessListRules).
AccessEntries accessEntries(const QStringList &entries);

} // namespace UsbIpGrammar
