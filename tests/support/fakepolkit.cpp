// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "fakepolkit.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTimer>
#include <QVariantMap>

namespace {

const char AuthorityService[] = "org.freedesktop.PolicyKit1";
const char AuthorityPath[] = "/org/freedesktop/PolicyKit1/Authority";

} // namespace

// (sa{sv}): the subject of a check.
struct FakePolkitSubject
{
    QString kind;
    QVariantMap details;
};
Q_DECLARE_METATYPE(FakePolkitSubject)

// (bba{ss}): is_authorized, is_challenge, details.
struct FakePolkitResult
{
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
};
Q_DECLARE_METATYPE(FakePolkitResult)

QDBusArgument &operator<<(QDBusArgument &argument, const FakePolkitSubject &subject)
{
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, FakePolkitSubject &subject)
{
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const FakePolkitResult &result)
{
    argument.beginStructure();
    argument << result.authorized << result.challenge << result.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, FakePolkitResult &result)
{
    argument.beginStructure();
    argument >> result.authorized >> result.challenge >> result.details;
    argument.endStructure();
    return argument;
}

// Lives in the fake's thread; QtDBus delivers the calls there.
class FakePolkitAuthority : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PolicyKit1.Authority")
public:
    FakePolkitAuthority(FakePolkit *owner, const QString &connectionName)
        : m_owner(owner)
        , m_connectionName(connectionName)
    {
    }

public Q_SLOTS:
    FakePolkitResult CheckAuthorization(const FakePolkitSubject &subject, const QString &actionId,
                                        const QMap<QString, QString> &details, uint flags,
                                        const QString &cancellationId)
    {
        Q_UNUSED(details)
        FakePolkit::Check check;
        check.actionId = actionId;
        check.subjectKind = subject.kind;
        check.busName = subject.details.value(QStringLiteral("name")).toString();
        check.flags = flags;
        check.cancellationId = cancellationId;
        int delay = 0;
        {
            QMutexLocker lock(&m_owner->m_mutex);
            m_owner->m_checks.append(check);
            delay = m_owner->m_delayMs;
        }
        FakePolkitResult result;
        result.authorized = m_owner->decide(actionId);
        if (delay <= 0)
            return result;
        setDelayedReply(true);
        const QDBusMessage call = message();
        const QString name = m_connectionName;
        QTimer::singleShot(delay, this, [call, result, name]() {
            QDBusConnection(name).send(call.createReply(QVariant::fromValue(result)));
        });
        return result;
    }

    void CancelCheckAuthorization(const QString &cancellationId)
    {
        QMutexLocker lock(&m_owner->m_mutex);
        m_owner->m_cancelled.append(cancellationId);
    }

private:
    FakePolkit *m_owner;
    QString m_connectionName;
};

FakePolkit::FakePolkit()
{
    static int counter = 0;
    m_connectionName = QStringLiteral("ovra-fake-polkit-%1").arg(++counter);
    qDBusRegisterMetaType<FakePolkitSubject>();
    qDBusRegisterMetaType<FakePolkitResult>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

FakePolkit::~FakePolkit()
{
    stop();
}

bool FakePolkit::start(QString *error)
{
    if (m_authority)
        return true;
    QDBusConnection connection =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
    if (!connection.isConnected()) {
        if (error)
            *error = QStringLiteral("fake polkit: no system bus: %1")
                         .arg(connection.lastError().message());
        return false;
    }
    m_thread.start();
    m_authority = new FakePolkitAuthority(this, m_connectionName);
    m_authority->moveToThread(&m_thread);
    if (!connection.registerObject(QLatin1String(AuthorityPath), m_authority,
                                   QDBusConnection::ExportAllSlots)
        || !connection.registerService(QLatin1String(AuthorityService))) {
        if (error)
            *error = QStringLiteral("fake polkit: cannot serve: %1")
                         .arg(connection.lastError().message());
        stop();
        return false;
    }
    return true;
}

void FakePolkit::stop()
{
    if (!m_authority)
        return;
    {
        QDBusConnection connection(m_connectionName);
        connection.unregisterService(QLatin1String(AuthorityService));
        connection.unregisterObject(QLatin1String(AuthorityPath));
    }
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_thread.quit();
    m_thread.wait();
    delete m_authority; // its thread has ended
    m_authority = nullptr;
}

void FakePolkit::setAllowed(bool allowed)
{
    QMutexLocker lock(&m_mutex);
    m_allowed = allowed;
    m_perAction.clear();
}

void FakePolkit::setAllowed(const QString &actionId, bool allowed)
{
    QMutexLocker lock(&m_mutex);
    m_perAction.insert(actionId, allowed);
}

void FakePolkit::setDelay(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_delayMs = ms;
}

QList<FakePolkit::Check> FakePolkit::checks() const
{
    QMutexLocker lock(&m_mutex);
    return m_checks;
}

void FakePolkit::clearChecks()
{
    QMutexLocker lock(&m_mutex);
    m_checks.clear();
    m_cancelled.clear();
}

QStringList FakePolkit::cancelledIds() const
{
    QMutexLocker lock(&m_mutex);
    return m_cancelled;
}

bool FakePolkit::decide(const QString &actionId) const
{
    QMutexLocker lock(&m_mutex);
    return m_perAction.value(actionId, m_allowed);
}

#include "fakepolkit.moc"
