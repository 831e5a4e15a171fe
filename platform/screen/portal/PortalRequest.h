#pragma once

#include <QDBusConnection>
#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>

class QDBusPendingCallWatcher;
class WrittenPicture;

// One non-interactive request to the desktop portal's Screenshot interface. It follows the portal's request pattern:
// subscribed to the Response signal of the request's path before the call, answered with 0 (done), 1 (cancelled) or
// 2 (refused). Only the first answer counts, and only one sent by the portal itself. The answer is awaited in a local
// event loop that leaves user input queued, for at most `answerLimit` (long enough for a person to allow the
// screenshot), and never beyond the moment the portal leaves the bus or the program is asked to end (every event
// loop told to exit, as on SIGTERM).
class PortalRequest : public QObject {
    Q_OBJECT
public:
    PortalRequest(QDBusConnection bus, std::chrono::milliseconds answerLimit);
    ~PortalRequest() override;
    PortalRequest(const PortalRequest&) = delete;
    PortalRequest& operator=(const PortalRequest&) = delete;

    // The URI of the picture the portal took. Throws Failure, naming what is missing, when there is none. `meanwhile`,
    // if given, runs once the request is on its way, before the wait: work that needs the portal's time but not its
    // answer. `early`, if given, may see the picture written whole before the portal answers: its file's URI is then
    // returned at once, and the answer that follows is not waited for.
    QString run(const std::function<void()>& meanwhile = {}, WrittenPicture* early = nullptr);

    // Whether run() returned with a picture seen before the portal answered; the portal still works on the request.
    bool answeredEarly() const { return m_early; }
    // Waits until the portal has answered a request that run() returned from early, at most `limit`: a desktop
    // refuses a second request while it still works on the first.
    void settle(std::chrono::milliseconds limit);

    // How the reports name the portal.
    static QString serviceText();
    // Makes the portal, and the bus between it and this program, ready for a first request without asking for
    // anything the user sees: the portal is started where the bus starts it on demand, and learns who this program
    // is, as it does once for each connection. The answer is not waited for.
    static void wake(const QDBusConnection& bus);

private slots:
    void response(uint code, const QVariantMap& results);
    void replied(QDBusPendingCallWatcher* call);
    void portalGone();

private:
    void listen(const QString& path);
    void unlisten();
    void finish(QString failure = {});

    QDBusConnection m_bus;
    std::chrono::milliseconds m_answerLimit;
    QString m_path;
    QEventLoop m_loop;
    bool m_done = false;
    bool m_early = false;
    bool m_answered = false;
    QString m_failure;
    QString m_uri;
};
