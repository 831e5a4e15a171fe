#include "platform/errors/ErrorReport.h"

#include "platform/dialogs/Dialogs.h"

#ifndef QUOSH_SUPPORT_ADDRESS
#define QUOSH_SUPPORT_ADDRESS "support@ostrafen.example"
#endif

QString supportAddress()
{
    return QStringLiteral(QUOSH_SUPPORT_ADDRESS);
}

QString errorReportText(const QString& location, int line, const QString& description)
{
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") + QString::number(line) +
           QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ") + supportAddress();
}

void ShowErrorReport(Dialogs& dialogs, QWidget* parent, const QString& location, int line, const QString& description)
{
    dialogs.messageBox(parent, QStringLiteral("Application Error"), errorReportText(location, line, description),
                       Dialogs::Icon::Warning);
}
