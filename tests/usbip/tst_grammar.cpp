// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The grammars of the tool's outputs, of the list files and of the hosts
// that may attach, fed with what the real tool prints
// (tests/data/tool-output) and with purposely odd texts, and the one cleaner
// of outside text they use.

#include "accesshosts.h"
#include "outsidetext.h"
#include "tooloutput.h"
#include "usbipgrammar.h"

#include <QtTest>

using namespace UsbIpGrammar;

Q_DECLARE_METATYPE(OutsideText::Lines)

namespace {

// "busid|name|vid|pid", with "|no description" for a device block of one line.
QStringList describe(const QList<LocalDevice> &devices)
{
    QStringList result;
    for (const LocalDevice &device : devices)
        result << QStringList{device.busId, device.name, device.vendorId, device.productId}.join(
                      QLatin1Char('|'))
                      + (device.described || device.busId.isEmpty()
                             ? QString()
                             : QStringLiteral("|no description"));
    return result;
}

// "busid|name|vid|pid" of every listed device (bus id and name found).
QStringList exported(const QString &text)
{
    QStringList result;
    const QStringList blocks = splitRemoteBlocks(text);
    for (const QString &block : blocks) {
        const ExportedDevice device = parseRemoteBlock(block);
        if (device.isComplete())
            result << QStringList{device.busId, device.name, device.vendorId, device.productId}
                          .join(QLatin1Char('|'));
    }
    return result;
}

QString file(const char *name)
{
    return ToolOutput::text(QLatin1String(name));
}

// The text up to the block that begins with `marker`.
QString before(const QString &text, const char *marker)
{
    return text.left(text.indexOf(QLatin1String(marker)));
}

} // namespace

class TestGrammar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void busId_data();
    void busId();
    void outsideText_data();
    void outsideText();
    void localList_data();
    void localList();
    void remoteList_data();
    void remoteList();
    void portBlocks_data();
    void portBlocks();
    void portRemotes_data();
    void portRemotes();
    void vhciPortsInUse_data();
    void vhciPortsInUse();
    void portRecord_data();
    void portRecord();
    void listEntries_data();
    void listEntries();
    void accessHost_data();
    void accessHost();
    void accessHosts_data();
    void accessHosts();
};

void TestGrammar::busId_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::newRow("plain") << "1-1" << true;
    QTest::newRow("multi-digit") << "12-10" << true;
    QTest::newRow("behind hubs") << "3-1.2.4" << true;
    QTest::newRow("long (the Manager caps the length)")
        << QString(40, QLatin1Char('1')) + "-1" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("option") << "-b" << false;
    QTest::newRow("leading hyphen") << "-1-1" << false;
    QTest::newRow("trailing newline") << "1-1\n" << false;
    QTest::newRow("newline inside") << "1-1\n2-2" << false;
    QTest::newRow("shell") << "1-1;rm" << false;
    QTest::newRow("path") << "../1-1" << false;
    QTest::newRow("space") << "1-1 " << false;
    QTest::newRow("dangling dot") << "1-1." << false;
    QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661-\u0661") << false;
}

void TestGrammar::busId()
{
    QFETCH(QString, text);
    QTEST(isBusId(text), "valid");
}

void TestGrammar::outsideText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maxChars");
    QTest::addColumn<OutsideText::Lines>("lines");
    QTest::addColumn<QString>("expected");
    using OutsideText::Lines;
    const QString hidden(QChar::ReplacementCharacter);
    const QString ellipsis(QChar(0x2026));
    const QString clef = QString::fromUtf8("\U0001D11E"); // outside the BMP: a surrogate pair

    QTest::newRow("plain") << "Cruzer Blade" << 400 << Lines::Single << "Cruzer Blade";
    QTest::newRow("escape sequence and bell")
        << "\x1b[2J\aX" << 400 << Lines::Single << hidden + "[2J" + hidden + "X";
    QTest::newRow("format characters: override, zero width, isolate")
        << QString::fromUtf8("a\u202Eb\u200Bc\u2067d") << 400 << Lines::Single
        << "a" + hidden + "b" + hidden + "c" + hidden + "d";
    QTest::newRow("line and paragraph separators")
        << QString::fromUtf8("a\u2028b\u2029c") << 400 << Lines::Kept
        << "a" + hidden + "b" + hidden + "c";
    QTest::newRow("lone surrogates") << QString(QChar(0xD800)) + "x" + QChar(0xDC00) << 400
                                     << Lines::Single << hidden + "x" + hidden;
    QTest::newRow("a pair stays") << clef << 400 << Lines::Single << clef;
    QTest::newRow("line breaks in one line")
        << "a\nb\r\nc" << 400 << Lines::Single << "a" + hidden + "b" + hidden + hidden + "c";
    QTest::newRow("line breaks kept, tab hidden, trimmed")
        << "  usbip: error\r\n\tsecond\rthird\n"
        << 400 << Lines::Kept << "usbip: error\n" + hidden + "second\nthird";
    QTest::newRow("exactly the length") << "abcd" << 4 << Lines::Single << "abcd";
    QTest::newRow("cut with an ellipsis") << "abcdef" << 4 << Lines::Single << "abc" + ellipsis;
    QTest::newRow("cut never splits a pair")
        << "ab" + clef + "cd" << 4 << Lines::Single << "ab" + ellipsis;
}

void TestGrammar::outsideText()
{
    QFETCH(QString, text);
    QFETCH(int, maxChars);
    QFETCH(OutsideText::Lines, lines);
    QTEST(OutsideText::cleaned(text, maxChars, lines), "expected");
}

void TestGrammar::localList_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("expected");

    const QString twoSticks = file("list-local-two-sticks.txt");
    const QString sandisk = before(twoSticks, " - busid 3-12");
    const QString cruzer = QStringLiteral("1-1|Cruzer Blade|0781|5567");
    auto local = [](const char *busid, const char *ids, const char *description) {
        return QStringLiteral(" - busid %1 (%2)\n   %3\n\n")
            .arg(QLatin1String(busid), QLatin1String(ids), QLatin1String(description));
    };

    QTest::newRow("empty output") << QString() << QStringList();
    QTest::newRow("one device") << sandisk << QStringList{cruzer};
    QTest::newRow("two devices") << twoSticks
                                 << QStringList{cruzer, "3-12|Platinum HD 4GB|13fe|4200"};
    QTest::newRow("two identical blocks") << sandisk + sandisk << QStringList{cruzer, cruzer};
    QTest::newRow("vendor name with ' - ' keeps the device")
        << file("list-local-dash-vendor.txt")
        << QStringList{"1-1|Flash Drive|090c|1000", "1-3|Mouse|046d|c077"};
    QTest::newRow("unknown vendor and product")
        << file("list-local-unknown-ids.txt")
        << QStringList{"2-1|unknown product|46f4|0001",
                       "3-1|Linux-USB File-backed Storage Gadget|0525|a4a5"};
    QTest::newRow("behind a hub: read behind hubs")
        << file("list-local-hub.txt") << QStringList{cruzer, "2-1.2|Stick|abcd|1234"};
    QTest::newRow("product name with ' - '")
        << local("2-2", "abcd:1234", "Acme : Stick - 32 GB (abcd:1234)")
        << QStringList{"2-2|Stick - 32 GB|abcd|1234"};
    QTest::newRow("name with ' (' up to the last one")
        << local("1-4", "abcd:1234", "Acme : Stick (USB 3) (abcd:1234)")
        << QStringList{"1-4|Stick (USB 3)|abcd|1234"};
    QTest::newRow("name after the last ' : '")
        << local("1-5", "abcd:1234", "Acme : Series 5 : Pro (abcd:1234)")
        << QStringList{"1-5|Pro|abcd|1234"};
    QTest::newRow("description without ' : ' gives no name")
        << local("1-7", "abcd:1234", "Acme Stick (abcd:1234)") << QStringList{"1-7||abcd|1234"};
    QTest::newRow("upper-case ids kept as printed")
        << local("1-8", "ABCD:12EF", "Acme : Stick (ABCD:12EF)")
        << QStringList{"1-8|Stick|ABCD|12EF"};
    QTest::newRow("block without a description line")
        << " - busid 1-9 (abcd:1234)\n\n"
        << QStringList{"1-9||abcd|1234|no description"};
    QTest::newRow("' - busid ' inside a vendor name starts no block")
        << " - busid 1-1 (0781:5567)\n   Foo - busid 9-9 (dead:beef) Inc. : X (0781:5567)\n\n"
           " - busid 1-2 (1111:2222)\n   A - B : C (1111:2222)\n\n"
        << QStringList{"1-1|X|0781|5567", "1-2|C|1111|2222"};
    QTest::newRow("malformed bus id gives an empty entry")
        << " - busid 1-1;rm (0781:5567)\n   X\n\n - busid 3-1 (1234:5678)\n   Y\n\n"
        << QStringList{"|||", "3-1||1234|5678"};
}

void TestGrammar::localList()
{
    QFETCH(QString, output);
    QTEST(describe(parseLocalList(output)), "expected");
}

void TestGrammar::remoteList_data()
{
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("expected");

    const QString twoSticks = file("list-remote-two-sticks.txt");
    const QString header = before(twoSticks, "        1-1:");
    const QString cruzer = QStringLiteral("1-1|Cruzer Blade|0781|5567");
    const QString kingston = QStringLiteral("3-12|Platinum HD 4GB|13fe|4200");
    auto remote = [&header](const char *firstLine) {
        return header + QLatin1String(firstLine)
             + QStringLiteral("\n           : /sys/devices/usb1/1-1\n"
                              "           : (Defined at Interface level) (00/00/00)\n\n");
    };

    QTest::newRow("empty output") << QString() << QStringList();
    QTest::newRow("header only") << header << QStringList();
    QTest::newRow("two devices") << twoSticks << QStringList{cruzer, kingston};
    QTest::newRow("identical blocks stay twice") << twoSticks + twoSticks.mid(header.size())
                                                 << QStringList{cruzer, kingston, cruzer, kingston};
    QTest::newRow("bound device: no interface lines")
        << file("list-remote-bound.txt")
        << QStringList{"3-1|Linux-USB File-backed Storage Gadget|0525|a4a5"};
    QTest::newRow("hub bus id and unknown names behind hubs")
        << file("list-remote-hub.txt") << QStringList{cruzer, "1-1.2|unknown product|dead|beef"};
    QTest::newRow("vendor name with ' - '")
        << file("list-remote-dash-vendor.txt") << QStringList{"1-1|Flash Drive|090c|1000"};
    QTest::newRow("no parenthesised ids keeps the name")
        << remote("        1-4: Acme Corp. : Flash Stick") << QStringList{"1-4|Flash Stick||"};
    QTest::newRow("name with ' (' and ' : '")
        << remote("        1-5: Acme : Stick : Pro (USB 3) (abcd:1234)")
        << QStringList{"1-5|Pro (USB 3)|abcd|1234"};
    // A peer's bus id fields with line breaks, escape sequences, a bell and
    // a right-to-left override: shown, never obeyed.
    const QString hidden(QChar::ReplacementCharacter);
    QTest::newRow("hostile peer: control and format characters made visible")
        << file("list-remote-hostile.txt")
        << QStringList{cruzer, "1-2|" + hidden + "[2J" + hidden + "X" + hidden + "|dead|beef",
                       "1-3|Y|" + hidden + "[0m|beef"};
}

void TestGrammar::remoteList()
{
    QFETCH(QString, output);
    QTEST(exported(output), "expected");
}

void TestGrammar::portBlocks_data()
{
    QTest::addColumn<QString>("text");
    // "port|name|vid|pid|remote host|remote bus id|lines" per block
    QTest::addColumn<QStringList>("expected");

    const QString header = file("port-none.txt");
    const QString cruzer = QStringLiteral("SanDisk Corp. : Cruzer Blade (0781:5567)\n");
    const QString firstLine = QStringLiteral("Port 00: <Port in Use> at High Speed(480Mbps)\n");

    // Without ports only the newline put in front is left: one block without lines.
    QTest::newRow("empty") << QString() << QStringList{"||||||0"};
    QTest::newRow("header only") << header << QStringList{"||||||0"};
    QTest::newRow("one port")
        << file("port-one-attached.txt")
        << QStringList{"00|Linux-USB File-backed Storage Gadget|0525|a4a5|127.0.0.1|3-1|4"};
    QTest::newRow("two ports, one behind a hub")
        << file("port-two-attached.txt")
        << QStringList{"00|Cruzer Blade|0781|5567|127.0.4.1|1-1|4",
                       "15|unknown product|dead|beef|127.0.4.1|1-1.2|4"};
    QTest::newRow("IPv6 host up to the port's colon")
        << file("port-ipv6-hub.txt")
        << QStringList{"00|Cruzer Blade|0781|5567|127.0.3.5|1-1|4",
                       "15|unknown product|dead|beef|fd00::7|2-1.4|4"};
    QTest::newRow("bracketed host and line ends of CR LF")
        << header + firstLine + "       " + cruzer
               + "       3-1 -> usbip://[fd00::5]:3240/1-1\r\n           -> remote bus/dev 1/2\n"
        << QStringList{"00|Cruzer Blade|0781|5567|fd00::5|1-1|4"};
    QTest::newRow("two lines") << header + firstLine + "       " + cruzer
                               << QStringList{"00|Cruzer Blade|0781|5567|||2"};
    QTest::newRow("no ids")
        << header + firstLine + "       Acme : Stick\n       3-1 -> usbip://127.0.0.7:3240/1-1\n"
        << QStringList{"00||||127.0.0.7|1-1|3"};
    QTest::newRow("zero-width and isolate characters in the name made visible")
        << header + firstLine + QString::fromUtf8("       Acme : St\u200bick\u2067 (abcd:1234)\n")
               + "       3-1 -> usbip://127.0.0.7:3240/1-1\n"
        << QStringList{QString::fromUtf8("00|St\ufffdick\ufffd|abcd|1234|127.0.0.7|1-1|3")};
}

void TestGrammar::portBlocks()
{
    QFETCH(QString, text);
    QStringList blocks;
    const QStringList split = splitPortBlocks(text);
    for (const QString &block : split) {
        const PortBlock port = parsePortBlock(block);
        blocks << QStringList{port.port,
                              port.name,
                              port.vendorId,
                              port.productId,
                              port.remoteHost,
                              port.remoteBusId,
                              QString::number(port.lineCount)}
                      .join(QLatin1Char('|'));
    }
    QTEST(blocks, "expected");
}

void TestGrammar::portRemotes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("expected"); // "host busid"

    QTest::newRow("IPv6 host and a hub, behind hubs")
        << file("port-ipv6-hub.txt") << QStringList{"127.0.3.5 1-1", "fd00::7 2-1.4"};
    QTest::newRow("nothing attached") << file("port-none.txt") << QStringList();
    QTest::newRow("no vhci driver: no output") << QString() << QStringList();
}

void TestGrammar::portRemotes()
{
    QFETCH(QString, text);
    QStringList found;
    const QList<PortRemote> remotes = UsbIpGrammar::portRemotes(text);
    for (const PortRemote &remote : remotes)
        found << remote.host + QLatin1Char(' ') + remote.busId;
    QTEST(found, "expected");
}

void TestGrammar::vhciPortsInUse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("in use, attached, torn down and free ports")
        << file("vhci-status-in-use.txt") << QList<int>{0, 3, 16};
    QTest::newRow("a further controller's file")
        << "hub port sta spd dev      sockfd local_busid\n"
           "hs  0030 004 000 00000000 000000 0-0\nss  0047 006 003 00010002 000009 7-3\n"
        << QList<int>{47};
    QTest::newRow("header alone") << "hub port sta spd dev      sockfd local_busid\n"
                                  << QList<int>();
    QTest::newRow("not a port table") << "hs 6 6\n006 hs  0001\n  hs  0002 006 x\n" << QList<int>();
    QTest::newRow("empty") << QString() << QList<int>();
}

void TestGrammar::vhciPortsInUse()
{
    QFETCH(QString, text);
    QTEST(UsbIpGrammar::vhciPortsInUse(text), "expected");
}

void TestGrammar::portRecord_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected"); // "host busid"

    QTest::newRow("as the tool writes it") << "127.0.0.1 3240 3-1\n"
                                           << "127.0.0.1 3-1";
    QTest::newRow("IPv6 host, hub, no newline") << "fd00::7 3240 2-1.4"
                                                << "fd00::7 2-1.4";
    QTest::newRow("a broken bus id") << "storage.example 3240 2-1;x\n"
                                     << " ";
    QTest::newRow("two lines") << "h 3240 1-1\nh 3240 1-2\n"
                               << " ";
    QTest::newRow("missing field") << "h 1-1\n"
                                   << " ";
    QTest::newRow("service no number") << "h usbip 1-1\n"
                                       << " ";
    QTest::newRow("empty") << QString() << " ";
}

void TestGrammar::portRecord()
{
    QFETCH(QString, text);
    const PortRemote record = UsbIpGrammar::portRecord(text);
    QTEST(record.host + QLatin1Char(' ') + record.busId, "expected");
}

void TestGrammar::listEntries_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("window");
    QTest::addColumn<QStringList>("blacklist");
    QTest::addColumn<QStringList>("manager");
    QTest::addColumn<QStringList>("access");

    QTest::newRow("empty") << QByteArray() << QStringList() << QStringList() << QStringList()
                           << QStringList();
    const QStringList two{"0781:5567", "abcd:1234"};
    QTest::newRow("two entries") << QByteArray("0781:5567\nabcd:1234\n") << two << two << two
                                 << two;
    QTest::newRow("no final newline, empty lines dropped")
        << QByteArray("\n0781:5567\n\n\nabcd:1234") << two << two << two << two;
    QTest::newRow("spaces kept but in the blacklist and the access list")
        << QByteArray(" 0781:5567 \n \n\t\n") << QStringList{" 0781:5567 ", " ", "\t"}
        << QStringList{"0781:5567"} << QStringList{" 0781:5567 ", " ", "\t"}
        << QStringList{"0781:5567"};
    QTest::newRow("CRLF line ends") << QByteArray("0781:5567\r\nabcd:1234\r\n") << two << two
                                    << QStringList{"0781:5567\r", "abcd:1234\r"} << two;
    QTest::newRow("duplicates kept")
        << QByteArray("a\na\n") << QStringList{"a", "a"} << QStringList{"a", "a"}
        << QStringList{"a", "a"} << QStringList{"a", "a"};
    QTest::newRow("comments only in the access list")
        << QByteArray("# Who\n  # may\nrestricted # not a comment\n#\n")
        << QStringList{"# Who", "  # may", "restricted # not a comment", "#"}
        << QStringList{"# who", "# may", "restricted # not a comment", "#"}
        << QStringList{"# Who", "  # may", "restricted # not a comment", "#"}
        << QStringList{"restricted # not a comment"};
}

void TestGrammar::listEntries()
{
    QFETCH(QByteArray, content);
    QTEST(UsbIpGrammar::listEntries(content, WindowListRules), "window");
    QTEST(UsbIpGrammar::listEntries(content, BlacklistRules), "blacklist");
    QTEST(UsbIpGrammar::listEntries(content, ManagerListRules), "manager");
    QTEST(UsbIpGrammar::listEntries(content, AccessListRules), "access");
}

void TestGrammar::accessHost_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("canonical"); // empty: refused

    QTest::newRow("ipv4") << "192.168.1.20"
                          << "192.168.1.20";
    QTest::newRow("ipv4 prefix") << "192.168.1.0/24"
                                 << "192.168.1.0/24";
    QTest::newRow("host bits cleared") << "192.168.1.5/24"
                                       << "192.168.1.0/24";
    QTest::newRow("odd prefix") << "10.1.2.3/13"
                                << "10.0.0.0/13";
    QTest::newRow("full ipv4 prefix") << "10.0.0.1/32"
                                      << "10.0.0.1";
    QTest::newRow("every ipv4 host") << "172.16.0.9/0"
                                     << "0.0.0.0/0";
    QTest::newRow("ipv6 shortened, lower case") << "FD00:0:0:0:0:0:0:1"
                                                << "fd00::1";
    QTest::newRow("ipv6 prefix") << "fd00::/64"
                                 << "fd00::/64";
    QTest::newRow("ipv6 host bits cleared") << "2001:db8::1:2/112"
                                            << "2001:db8::1:0/112";
    QTest::newRow("full ipv6 prefix") << "fe80::1/128"
                                      << "fe80::1";
    QTest::newRow("ipv4-mapped") << "::ffff:192.0.2.1"
                                 << "192.0.2.1";
    QTest::newRow("ipv4-mapped prefix") << "::ffff:192.0.2.0/120"
                                        << "192.0.2.0/24";
    QTest::newRow("ipv4-mapped, shorter prefix") << "::ffff:192.0.2.0/64"
                                                 << "::/64";
    QTest::newRow("ipv6 with dotted end") << "64:ff9b::192.0.2.1"
                                          << "64:ff9b::c000:201";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("blank") << " "
                           << "";
    QTest::newRow("leading blank") << " 10.0.0.1"
                                   << "";
    QTest::newRow("final newline") << "10.0.0.1\n"
                                   << "";
    QTest::newRow("host name") << "storage.example"
                               << "";
    QTest::newRow("three parts") << "10.0.1"
                                 << "";
    QTest::newRow("leading zero") << "010.0.0.1"
                                  << "";
    QTest::newRow("octet too big") << "10.0.0.256"
                                   << "";
    QTest::newRow("prefix too long") << "10.0.0.0/33"
                                     << "";
    QTest::newRow("ipv6 prefix too long") << "fd00::/129"
                                          << "";
    QTest::newRow("empty prefix") << "10.0.0.0/"
                                  << "";
    QTest::newRow("prefix with leading zero") << "10.0.0.0/08"
                                              << "";
    QTest::newRow("negative prefix") << "10.0.0.0/-1"
                                     << "";
    QTest::newRow("two prefixes") << "10.0.0.0/8/8"
                                  << "";
    QTest::newRow("prefix only") << "/24"
                                 << "";
    QTest::newRow("ipv6 zone") << "fe80::1%eth0"
                               << "";
    QTest::newRow("ipv6 in brackets") << "[fd00::1]"
                                      << "";
    QTest::newRow("two double colons") << "fd00::1::2"
                                       << "";
    QTest::newRow("option") << "-h"
                            << "";
    QTest::newRow("too long") << QString(70, QLatin1Char('0')) << "";
}

void TestGrammar::accessHost()
{
    QFETCH(QString, text);
    const AccessHosts::Host host = AccessHosts::canonicalHost(text);
    QTEST(host.canonical, "canonical");
    QCOMPARE(host.reason.isEmpty(), host.isValid());
    // The canonical form is its own canonical form.
    if (host.isValid())
        QCOMPARE(AccessHosts::canonicalHost(host.canonical).canonical, host.canonical);
}

void TestGrammar::accessHosts_data()
{
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QStringList>("canonical");
    QTest::addColumn<QString>("reason"); // empty: accepted

    QStringList most;
    for (int i = 0; i < 256; ++i)
        most << QStringLiteral("10.0.0.%1").arg(i);
    QTest::newRow("none") << QStringList() << QStringList() << QString();
    QTest::newRow("duplicates after the canonical form go, the first place stays")
        << QStringList{"fd00::1", "10.0.0.1", "FD00:0::1", "10.0.0.1/32", "10.0.0.0/8"}
        << QStringList{"fd00::1", "10.0.0.1", "10.0.0.0/8"} << QString();
    QTest::newRow("256") << most << most << QString();
    QTest::newRow("257, though some are the same")
        << most + QStringList{"10.0.0.1"} << QStringList()
        << "The host list has 257 entries; at most 256 are allowed.";
    QTest::newRow("one bad entry refuses all")
        << QStringList{"10.0.0.1", "10.0.0.%2"} << QStringList()
        << "Invalid host \"10.0.0.%2\" (entry 2 of the list): it is not an IPv4 or IPv6 "
           "address or prefix.";
}

void TestGrammar::accessHosts()
{
    QFETCH(QStringList, hosts);
    const AccessHosts::List list = AccessHosts::canonicalHosts(hosts);
    QTEST(list.reason, "reason");
    QTEST(list.canonical, "canonical");
}

QTEST_GUILESS_MAIN(TestGrammar)
#include "tst_grammar.moc"
