#include "desktopnotifier.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QThread>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

const QString NotificationsService = QStringLiteral("org.freedesktop.Notifications");
const QString NotificationsPath = QStringLiteral("/org/freedesktop/Notifications");
const QString LauncherInterface = QStringLiteral("com.canonical.Unity.LauncherEntry");
const QString DesktopId = QStringLiteral(KELVANE_APP_ID);
// The object path made from the id, as launcher entries are named.
const QString LauncherPath = QLatin1Char('/') +
                             QString(DesktopId).replace(QLatin1Char('.'), QLatin1Char('/')) +
                             QStringLiteral("/LauncherEntry");

// The notification's picture as the Notifications service takes it: (iiibiiay).
struct NotificationImage
{
    QImage image;
};

QDBusArgument &operator<<(QDBusArgument &argument, const NotificationImage &picture)
{
    const QImage image = picture.image.convertToFormat(QImage::Format_RGBA8888);
    argument.beginStructure();
    argument << image.width() << image.height() << int(image.bytesPerLine()) << true << 8 << 4
             << QByteArray(reinterpret_cast<const char *>(image.constBits()), image.sizeInBytes());
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, NotificationImage &)
{
    return argument; // only ever sent
}

} // namespace

Q_DECLARE_METATYPE(NotificationImage)

namespace {

// libdbus connects synchronously, and a bus that accepts but never answers holds the caller
// for its 25-second timeout. The first connection is therefore made on a thread of its own;
// Qt keeps its result, so asking again afterwards returns at once.
QThread *busOpener()
{
    static QThread *const opener = [] {
        QThread *thread = QThread::create([] { QDBusConnection::sessionBus(); });
        thread->start();
        return thread;
    }();
    return opener;
}

// The text as the service shows it: escaped for a service that reads markup.
QString bodyText(const QString &text, const QStringList &capabilities)
{
    return capabilities.contains(QStringLiteral("body-markup")) ? text.toHtmlEscaped() : text;
}

} // namespace

DesktopNotifier::DesktopNotifier(QWidget *window) : QObject(window), m_window(window)
{
    QThread *opener = busOpener();
    connect(opener, &QThread::finished, this, &DesktopNotifier::busOpened);
    if (opener->isFinished())
        busOpened();
}

DesktopNotifier::~DesktopNotifier()
{
    jobEnded();
}

void DesktopNotifier::busOpened()
{
    if (m_busOpen)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    m_busOpen = true;
    qDBusRegisterMetaType<NotificationImage>();
    // No service name: with one, Qt would ask the bus for its owner and wait for the answer.
    bus.connect(QString(), NotificationsPath, NotificationsService, QStringLiteral("ActionInvoked"),
                this, SLOT(actionInvoked(uint, QString)));
    bus.connect(QString(), NotificationsPath, NotificationsService,
                QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
    if (m_visible)
        sendProgress();
}

void DesktopNotifier::jobStarted(const QString &output)
{
    m_output = output;
    m_visible = true;
    m_percent = 0;
    sendProgress();
}

void DesktopNotifier::setProgress(double fraction)
{
    const int percent = int(std::floor(std::clamp(fraction, 0.0, 1.0) * 100));
    if (!m_visible || percent == m_percent)
        return;
    m_percent = percent;
    sendProgress();
}

void DesktopNotifier::jobEnded()
{
    if (!m_visible)
        return;
    m_visible = false;
    m_percent = 0;
    sendProgress();
}

void DesktopNotifier::sendProgress()
{
    if (!m_busOpen || (!m_visible && !m_shown))
        return;
    QDBusMessage update =
        QDBusMessage::createSignal(LauncherPath, LauncherInterface, QStringLiteral("Update"));
    update << QStringLiteral("application://%1.desktop").arg(DesktopId)
           << QVariantMap{{QStringLiteral("progress"), m_percent / 100.0},
                          {QStringLiteral("progress-visible"), m_visible}};
    m_shown = QDBusConnection::sessionBus().send(update) && m_visible;
}

void DesktopNotifier::notify(const QString &outcome)
{
    if (!m_busOpen || !m_window || m_window->isActiveWindow())
        return;
    QString body = outcome;
    if (!m_output.isEmpty())
        body += QLatin1Char('\n') + QFileInfo(m_output).fileName();
    // What the service can do decides how the text is written; nobody answering means no
    // notification, and no message about it either.
    const QDBusMessage ask =
        QDBusMessage::createMethodCall(NotificationsService, NotificationsPath,
                                       NotificationsService, QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, body](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                const QDBusPendingReply<QStringList> reply = *call;
                if (!reply.isError())
                    sendNotification(body, reply.value());
            });
}

void DesktopNotifier::sendNotification(const QString &body, const QStringList &capabilities)
{
    QVariantMap hints{{QStringLiteral("desktop-entry"), DesktopId}};
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull()) {
        // Found by its name only once installed; the picture serves a build run in place.
        hints.insert(QStringLiteral("image-data"),
                     QVariant::fromValue(NotificationImage{icon.pixmap(48, 48).toImage()}));
    }
    QStringList actions;
    if (capabilities.contains(QStringLiteral("actions")))
        actions = {QStringLiteral("default"), QStringLiteral("Show Kelvane")};
    QDBusMessage message = QDBusMessage::createMethodCall(
        NotificationsService, NotificationsPath, NotificationsService, QStringLiteral("Notify"));
    message << QStringLiteral("Kelvane") << 0u << QStringLiteral("kelvane")
            << QStringLiteral("Kelvane") << bodyText(body, capabilities) << actions << hints << -1;
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                const QDBusPendingReply<uint> reply = *call;
                if (!reply.isError())
                    m_notifications.insert(reply.value());
            });
}

void DesktopNotifier::actionInvoked(uint id, const QString &action)
{
    if (action != QLatin1String("default") || !m_notifications.contains(id) || !m_window)
        return;
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void DesktopNotifier::notificationClosed(uint id, uint)
{
    m_notifications.remove(id);
}
