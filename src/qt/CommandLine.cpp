#include "qt/CommandLine.h"

#include <QCommandLineParser>

#include <limits>

namespace kestrova {

namespace {

const QString kHelp = QStringLiteral("help");
const QString kVersion = QStringLiteral("version");
const QString kLog = QStringLiteral("log");
const QString kInterval = QStringLiteral("interval");
const QString kIpv6 = QStringLiteral("ipv6");

void describe(QCommandLineParser& parser) {
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.setApplicationDescription(
        QStringLiteral("Shows the machine's IPv4 TCP connections (with -6 the IPv6 ones too) in a window and logs "
                       "every change to them."));
    parser.addOption({{QStringLiteral("h"), kHelp}, QStringLiteral("Show this help and exit.")});
    parser.addOption({{QStringLiteral("v"), kVersion}, QStringLiteral("Show the version and exit.")});
    parser.addOption({kLog,
                      QStringLiteral("No window: write every line of the event log to standard output, "
                                     "oldest first, until interrupted. Needs no display.")});
    parser.addOption({kInterval,
                      QStringLiteral("With --log: refresh every <ms> milliseconds (1 to 2147483647) "
                                     "instead of the profile's interval."),
                      QStringLiteral("ms")});
    parser.addOption({{QStringLiteral("6"), kIpv6},
                      QStringLiteral("List the IPv6 TCP connections too, beside the IPv4 ones, in the window or "
                                     "with --log. For this run only: the profile does not keep it.")});
}

CommandLine failure(const QString& error) { return {CommandLine::Mode::Error, std::nullopt, error}; }

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(arguments)) return failure(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(kHelp)) return {CommandLine::Mode::Help, std::nullopt, {}};
    if (parser.isSet(kVersion)) return {CommandLine::Mode::Version, std::nullopt, {}};

    CommandLine command;
    command.mode = parser.isSet(kLog) ? CommandLine::Mode::Log : CommandLine::Mode::Window;
    command.ipv6 = parser.isSet(kIpv6);
    if (parser.isSet(kInterval)) {
        // In the window the interval is an option the user changes and saves;
        // a one-run override there would be written to the profile on exit.
        if (command.mode != CommandLine::Mode::Log) return failure(QStringLiteral("--interval works only with --log."));
        const QString value = parser.value(kInterval);
        bool ok = false;
        const qlonglong ms = value.toLongLong(&ok);
        if (!ok || ms < 1 || ms > std::numeric_limits<std::int32_t>::max())
            return failure(QStringLiteral("Invalid interval '%1': give a whole number of milliseconds from 1 to "
                                          "2147483647.")
                               .arg(value));
        command.intervalMs = static_cast<std::int32_t>(ms);
    }
    return command;
}

QString usageLine(const QString& program) { return QStringLiteral("Usage: %1 [options]").arg(program); }

QString helpText(const QString& program) {
    QCommandLineParser parser;
    describe(parser);
    // The parser names the program only when an application object exists;
    // the first line is always its usage line.
    const QString text = parser.helpText();
    const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
    return usageLine(program) + (firstBreak < 0 ? QStringLiteral("\n") : text.mid(firstBreak));
}

}  // namespace kestrova
