// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "systemdisks.h"

#include "childprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace SystemDisks {

namespace {

bool carriesTheSystem(const QJsonObject &device)
{
    static const QSet<QString> mountPoints{QStringLiteral("/"), QStringLiteral("/boot"),
                                           QStringLiteral("/boot/efi"), QStringLiteral("/efi"),
                                           QStringLiteral("[SWAP]")};
    const QJsonArray mounted = device.value(QLatin1String("mountpoints")).toArray();
    for (const QJsonValue &mountPoint : mounted) {
        if (mountPoints.contains(mountPoint.toString()))
            return true;
    }
    return false;
}

bool holdsTheRoot(const QJsonObject &device)
{
    return device.value(QLatin1String("mountpoints")).toArray().contains(QStringLiteral("/"));
}

QJsonArray childrenOf(const QJsonObject &device)
{
    return device.value(QLatin1String("children")).toArray();
}

// Walks a device and what it is built on. `below` says that a device above
// it carries the system.
class Walk
{
public:
    // The file systems (by UUID) that carry the system, and whether "/" is
    // among them.
    void findMounts(const QJsonArray &devices)
    {
        for (const QJsonValue &value : devices) {
            const QJsonObject device = value.toObject();
            if (carriesTheSystem(device)) {
                const QString uuid = device.value(QLatin1String("uuid")).toString();
                if (!uuid.isEmpty())
                    m_uuids.insert(uuid);
            }
            m_root = m_root || holdsTheRoot(device);
            findMounts(childrenOf(device));
        }
    }

    void collect(const QJsonArray &devices, bool below)
    {
        for (const QJsonValue &value : devices) {
            const QJsonObject device = value.toObject();
            const bool system = below || carriesTheSystem(device)
                             || m_uuids.contains(device.value(QLatin1String("uuid")).toString());
            const QString path = device.value(QLatin1String("path")).toString();
            if (system && !path.isEmpty() && !m_devices.contains(path))
                m_devices.append(path);
            collect(childrenOf(device), system);
        }
    }

    bool foundRoot() const { return m_root; }
    QStringList devices() const { return m_devices; }

private:
    QSet<QString> m_uuids;
    bool m_root = false;
    QStringList m_devices;
};

} // namespace

QStringList arguments()
{
    return {QStringLiteral("--json"), QStringLiteral("--inverse"), QStringLiteral("--output"),
            QStringLiteral("NAME,PATH,TYPE,FSTYPE,UUID,MOUNTPOINTS")};
}

Result fromLsblk(const QByteArray &json)
{
    Result result;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    const QJsonValue devices = document.object().value(QLatin1String("blockdevices"));
    if (error.error != QJsonParseError::NoError || !devices.isArray()) {
        result.problem = Problem::Unreadable;
        return result;
    }
    Walk walk;
    walk.findMounts(devices.toArray());
    if (!walk.foundRoot()) {
        result.problem = Problem::NoRoot;
        return result;
    }
    walk.collect(devices.toArray(), false);
    result.devices = walk.devices();
    return result;
}

Result find()
{
    const ChildResult run = runChild(QLatin1String(Program), arguments(), TimeoutMs);
    if (!run.succeeded()) {
        Result result;
        result.problem = run.end == ChildResult::End::Exited ? Problem::Failed : Problem::NotRun;
        result.toolMessage = run.standardError;
        return result;
    }
    return fromLsblk(run.standardOutput);
}

} // namespace SystemDisks
