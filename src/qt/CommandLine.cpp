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
const QString kList = QStringLiteral("list");
const QString kJson = QStringLiteral("json");
const QString kCheckPacket = QStringLiteral("check-packet");
const QString kHostNames = QStringLiteral("host-names");

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
    parser.addOption({kList,
                      QStringLiteral("No window: print every connection once, with the columns the window shows, "
                                     "tab-separated under a header line, and exit. Needs no display.")});
    parser.addOption({kJson,
                      QStringLiteral("With --log or --list: write JSON instead, one object per log line or "
                                     "one array of connections.")});
    parser.addOption({kInterval,
                      QStringLiteral("Refresh every <ms> milliseconds (1 to 2147483647) instead of the profile's "
                                     "interval, in the window or with --log."),
                      QStringLiteral("ms")});
    parser.addOption({{QStringLiteral("6"), kIpv6},
                      QStringLiteral("List the IPv6 TCP connections too, beside the IPv4 ones, in the window, with "
                                     "--log or --list. For this run only: the profile does not keep it.")});
    parser.addOption({kCheckPacket,
                      QStringLiteral("Check packets in this run, in the window or with --log, whatever the "
                                     "profile says.")});
    parser.addOption({kHostNames,
                      QStringLiteral("Look up host names in this run, in the window, with --log or with --list, "
                                     "whatever the profile says.")});
}

CommandLine failure(const QString& error) {
    CommandLine command;
    command.mode = CommandLine::Mode::Error;
    command.error = error;
    return command;
}

CommandLine only(CommandLine::Mode mode) {
    CommandLine command;
    command.mode = mode;
    return command;
}

}  // namespace

CommandLine parseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(arguments)) return failure(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return failure(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(kHelp)) return only(CommandLine::Mode::Help);
    if (parser.isSet(kVersion)) return only(CommandLine::Mode::Version);

    if (parser.isSet(kLog) && parser.isSet(kList)) return failure(QStringLiteral("--log and --list exclude each other."));
    CommandLine command;
    command.mode = parser.isSet(kLog)    ? CommandLine::Mode::Log
                   : parser.isSet(kList) ? CommandLine::Mode::List
                                         : CommandLine::Mode::Window;
    const bool windowless = command.mode != CommandLine::Mode::Window;
    command.json = parser.isSet(kJson);
    if (command.json && !windowless) return failure(QStringLiteral("--json works only with --log or --list."));
    command.hostNames = parser.isSet(kHostNames);
    // A list is one look at the table: there is no time in it to count
    // bytes, and nothing refreshes.
    command.checkPacket = parser.isSet(kCheckPacket);
    if (command.checkPacket && command.mode == CommandLine::Mode::List)
        return failure(QStringLiteral("--check-packet does not work with --list."));
    command.ipv6 = parser.isSet(kIpv6);
    if (parser.isSet(kInterval)) {
        if (command.mode == CommandLine::Mode::List)
            return failure(QStringLiteral("--interval does not work with --list."));
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
    // What the window does with this run's options, which the option
    // lines have no room for.
    const QString saving = QStringLiteral(
        "\nIn the window, --interval, --check-packet and --host-names set their options\n"
        "as the menu would. As always, only the menu's \"exit Kestrova...\" saves the\n"
        "options, as the window uses them then; --log and --list never save them.\n");
    return usageLine(program) + (firstBreak < 0 ? QStringLiteral("\n") : text.mid(firstBreak)) + saving;
}

}  // namespace kestrova
