#include "platform/process/EventLoop.h"

#include <QCoreApplication>

void yieldToEventLoop()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}
