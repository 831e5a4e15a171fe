#include "platform/screen/portal/PortalRequest.h"

#include "platform/errors/Failure.h"
#include "platform/process/LaunchSteps.h"
#include "platform/screen/portal/WrittenPicture.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenshotInterface = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

// KDE's screenshot service saves its picture in the pictures folder and, when that folder is missing, answers that
// the screenshot was cancelled, which no one did: the report names the real cause and the mend.
QString missingPicturesFolderHint()
{
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty() || QFileInfo(pictures).isDir()) {
        return {};
    }
    return QStringLiteral(". The desktop's screenshot service saves its picture in your pictures folder, %1, which "
                          "does not exist (KDE's then answers \"cancelled\"): create it (mkdir -p \"%1\") and try "
                          "again")
        .arg(pictures);
}

} // namespace

PortalRequest::PortalRequest(QDBusConnection bus, std::chrono::milliseconds answerLimit)
    : m_bus(std::move(bus))
    , m_answerLimit(answerLimit)
{}

PortalRequest::~PortalRequest()
{
    unlisten();
}

QString PortalRequest::serviceText()
{
    return QStringLiteral("the desktop's screenshot service (xdg-desktop-portal)");
}

void PortalRequest::wake(const QDBusConnection& bus)
{
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage read = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.portal.Settings"), QStringLiteral("Read"));
    read << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    bus.asyncCall(read);
}

QString PortalRequest::run(const std::function<void()>& meanwhile, WrittenPicture* early)
{
    if (!m_bus.isConnected()) {
        throw Failure(QStringLiteral("Cannot read the screen: there is no session bus (D-Bus), so %1 cannot be reached")
                          .arg(serviceText()));
    }
    static int serial = 0;
    const QString token = QStringLiteral("quosh%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    listen(QStringLiteral("%1/request/%2/%3").arg(portalPath, sender, token));

    // Once the portal is running, its leaving the bus is the one sign that no answer will come.
    QDBusServiceWatcher watcher(portalService, m_bus, QDBusServiceWatcher::WatchForUnregistration);
    connect(&watcher, &QDBusServiceWatcher::serviceUnregistered, this, &PortalRequest::portalGone);

    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, screenshotInterface, QStringLiteral("Screenshot"));
    call << QString() << QVariantMap{{QStringLiteral("handle_token"), token}, {QStringLiteral("interactive"), false}};
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, &PortalRequest::replied);
    noteLaunchStep("portal asked");

    // A person may have to allow the screenshot first, but the portal itself gives up on an unanswered question (after
    // 25 s on GNOME) without answering the request: past the limit no answer will come.
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, this, [this] {
        finish(QStringLiteral("%1 did not answer within %2 seconds")
                   .arg(serviceText())
                   .arg(m_answerLimit.count() / 1000.0));
    });
    limit.start(m_answerLimit);
    std::unique_ptr<QSocketNotifier> written;
    if (early && early->fd() >= 0) {
        written = std::make_unique<QSocketNotifier>(early->fd(), QSocketNotifier::Read);
        connect(written.get(), &QSocketNotifier::activated, this, [this, early] {
            if (const QString path = early->wholePicture(); !path.isEmpty() && !m_done) {
                noteLaunchStep("picture written");
                m_uri = QUrl::fromLocalFile(path).toString();
                m_early = true;
                finish();
            }
        });
    }
    if (meanwhile) {
        meanwhile();
    }
    // The answer arrives as an event, so it can only come while the loop runs; the flag covers one that came before.
    // The loop also returns when the program is asked to end: every loop is told to exit then, and any loop started
    // after that returns at once, so the wait ends instead of starting over.
    if (!m_done) {
        m_loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!m_early) {
        unlisten();
        noteLaunchStep("portal answered");
    }
    if (!m_done) {
        throw Failure(QStringLiteral("Cannot read the screen: the program is ending"));
    }
    if (!m_failure.isEmpty()) {
        throw Failure(QStringLiteral("Cannot read the screen: ") + m_failure);
    }
    return m_uri;
}

void PortalRequest::listen(const QString& path)
{
    unlisten();
    m_path = path;
    m_bus.connect(portalService, m_path, requestInterface, QStringLiteral("Response"), this,
                  SLOT(response(uint, QVariantMap)));
}

void PortalRequest::unlisten()
{
    if (!m_path.isEmpty()) {
        m_bus.disconnect(portalService, m_path, requestInterface, QStringLiteral("Response"), this,
                         SLOT(response(uint, QVariantMap)));
        m_path.clear();
    }
}

void PortalRequest::finish(QString failure)
{
    if (m_done) {
        return;
    }
    m_done = true;
    m_failure = std::move(failure);
    m_loop.quit();
}

void PortalRequest::replied(QDBusPendingCallWatcher* call)
{
    call->deleteLater();
    const QDBusMessage reply = call->reply();
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QString name = reply.errorName();
        if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
            name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
            finish(QStringLiteral("%1 is not running").arg(serviceText()));
        } else if (name == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
                   name == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
                   name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")) {
            finish(QStringLiteral("%1 has no screenshot backend for this desktop (xdg-desktop-portal-gnome, -kde or "
                                  "-wlr)")
                       .arg(serviceText()));
        } else {
            finish(QStringLiteral("%1 failed: %2").arg(serviceText(), reply.errorMessage()));
        }
        return;
    }
    // Portals before version 0.9 choose the request's path themselves.
    const QString path = reply.arguments().value(0).value<QDBusObjectPath>().path();
    if (!path.isEmpty() && path != m_path && !m_done) {
        listen(path);
    }
}

void PortalRequest::settle(std::chrono::milliseconds limit)
{
    if (!m_early || m_answered) {
        return;
    }
    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    timer.start(limit);
    m_loop.exec(QEventLoop::ExcludeUserInputEvents);
    unlisten();
}

void PortalRequest::response(uint code, const QVariantMap& results)
{
    if (m_early) {
        m_answered = true;
        m_loop.quit();
        return;
    }
    if (m_done) {
        return;
    }
    switch (code) {
    case 0:
        m_uri = results.value(QStringLiteral("uri")).toString();
        finish();
        return;
    case 1:
        finish(QStringLiteral("the screenshot was cancelled") + missingPicturesFolderHint());
        return;
    case 2:
        // GNOME asks once whether programs may take screenshots and keeps a "Deny" in the portal's permission store,
        // where no settings page shows it; the report gives the one command that forgets it.
        finish(QStringLiteral("%1 refused the screenshot or could not take it. If you answered \"Deny\" when the "
                              "desktop asked whether applications may take screenshots, it keeps that answer; to be "
                              "asked again, run: gdbus call --session --dest %2 --object-path %3 --method "
                              "%2.DeletePermission screenshot screenshot \"\"")
                   .arg(serviceText(), QStringLiteral("org.freedesktop.impl.portal.PermissionStore"),
                        QStringLiteral("/org/freedesktop/impl/portal/PermissionStore")));
        return;
    default:
        finish(QStringLiteral("%1 answered with the unknown code %2").arg(serviceText()).arg(code));
        return;
    }
}

void PortalRequest::portalGone()
{
    finish(QStringLiteral("%1 stopped before it answered").arg(serviceText()));
}
