#pragma once

#include <QObject>

// Counts a window's handlers on the stack, so that a window unloaded from inside a handler (or from an event that
// ran in a handler's yield) is deleted only after the outermost one has returned.
class HandlerScope {
public:
    // `depth` and `unloaded` belong to `window` and outlive the scope.
    HandlerScope(QObject& window, int& depth, const bool& unloaded)
        : m_window(window)
        , m_depth(depth)
        , m_unloaded(unloaded)
    {
        ++m_depth;
    }
    ~HandlerScope()
    {
        if (--m_depth == 0 && m_unloaded) {
            m_window.deleteLater();
        }
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    QObject& m_window;
    int& m_depth;
    const bool& m_unloaded;
};
