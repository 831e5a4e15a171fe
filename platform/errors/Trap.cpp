#include "platform/errors/Trap.h"

#include "platform/errors/ErrorReport.h"
#include "platform/errors/Failure.h"
#include "platform/errors/FaultProbe.h"

#include <exception>
#include <new>
#include <utility>

Trap::Trap(Dialogs& dialogs, FaultProbe* probe, QWidget* parent, QString location)
    : m_dialogs(dialogs)
    , m_probe(probe)
    , m_parent(parent)
    , m_location(std::move(location))
{}

bool Trap::run(int line, const std::function<void()>& body)
{
    QString description;
    try {
        if (m_probe) {
            m_probe->beforeStep(m_location, line);
        }
        body();
        return true;
    } catch (const Failure& failure) {
        description = failure.description();
    } catch (const std::bad_alloc&) {
        description = QStringLiteral("Out of memory");
    } catch (const std::exception& error) {
        description = QString::fromLocal8Bit(error.what());
    }
    ++m_failures;
    // A step may have destroyed the parent; the box then stands on its own.
    ShowErrorReport(m_dialogs, m_parent.data(), m_location, line, description);
    return false;
}

bool Trap::step(int line, const std::function<void()>& body)
{
    return run(line, body);
}

bool Trap::test(int line, const std::function<bool()>& check)
{
    bool answer = true;
    if (!run(line, [&] { answer = check(); })) {
        return true;
    }
    return answer;
}
