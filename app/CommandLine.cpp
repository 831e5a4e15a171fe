#include "app/CommandLine.h"

#include "platform/startup/ToolkitArguments.h"

#include <QCommandLineParser>
#include <QStringList>

#ifndef QUOSH_VERSION
#define QUOSH_VERSION "0"
#endif

namespace {

// An unknown option as it was typed ("-bogus", "--frobnicate"), without a value given with "=": the parser names it
// without its dashes.
QString asTyped(const QStringList& arguments, const QString& name)
{
    for (qsizetype i = 1; i < arguments.size() && arguments[i] != QLatin1String("--"); ++i) {
        QString typed = arguments[i].section(QLatin1Char('='), 0, 0);
        const qsizetype dashes = typed.startsWith(QLatin1String("--")) ? 2 : 1;
        if (typed.startsWith(QLatin1Char('-')) && QStringView(typed).mid(dashes) == name) {
            return typed;
        }
    }
    return name;
}

} // namespace

CommandLine readCommandLine(int argc, char* argv[])
{
    using Start = CommandLine::Start;
    QCommandLineParser parser;
    // The toolkit's options are words after one dash: "-display" is one option, not seven letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Saves a rectangle of the screen as a JPEG or BMP file. Without options the main window comes "
                       "up.\nThe toolkit's own options work as well, such as -display NAME and -platform NAME."));
    const QCommandLineOption capture(
        QStringLiteral("capture"),
        QStringLiteral("Capture a region at once, with the stored options: the frozen screen comes up without the "
                       "main window. Drag a rectangle to save it; Esc or a click leaves. Ends with status 0 when the "
                       "file was saved or the capture was left, 1 after a failure."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and ends."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version and ends."));
    parser.addOptions({capture, help, version});
    // Known here so that they are not refused, and left out of the help.
    for (const char* name : toolkitOptionsWithValue()) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : toolkitFlags()) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }

    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const QString seeHelp = QStringLiteral(" (quosh --help lists the options)");
    if (!parser.parse(arguments)) {
        QString reason = parser.errorText();
        if (!parser.unknownOptionNames().isEmpty()) {
            reason = QStringLiteral("unknown option \"%1\"")
                         .arg(asTyped(arguments, parser.unknownOptionNames().constFirst()));
        }
        return {Start::Refused, reason + seeHelp};
    }
    if (!parser.positionalArguments().isEmpty()) {
        return {Start::Refused,
                QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()) + seeHelp};
    }
    if (parser.isSet(help)) {
        return {Start::Help, parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quosh"))};
    }
    if (parser.isSet(version)) {
        return {Start::Version, QStringLiteral("quosh %1\n").arg(QStringLiteral(QUOSH_VERSION))};
    }
    return {parser.isSet(capture) ? Start::Capture : Start::MainWindow, {}};
}
