#include "platform/EventLoop.h"

#include <QCoreApplication>

void yieldToEventLoop()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
