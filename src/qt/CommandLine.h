#pragma once
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

#include "options/Settings.h"

namespace kestrova {

// What the program was asked to do.
struct CommandLine {
    enum class Mode { Window, Log, List, Help, Version, Error };
    Mode mode = Mode::Window;
    // --interval: the refresh period for this run, in milliseconds.
    std::optional<std::int32_t> intervalMs;
    // --json: machine-readable output for --log and --list.
    bool json = false;
    // --check-packet, --host-names: on for this run, whatever the profile says.
    bool checkPacket = false;
    bool hostNames = false;
    // For Mode::Error: what is wrong, as one sentence.
    QString error;
    // -6/--ipv6: IPv6 connections beside the IPv4 ones, for this run.
    bool ipv6 = false;

    // --interval, --check-packet and --host-names, over the profile's options.
    SettingsOverrides overrides() const { return {intervalMs, checkPacket, hostNames}; }
};

// Exit status of a run that was given a command line it cannot follow.
inline constexpr int EXIT_USAGE = 2;

// Parses the program's arguments, the first of which is the program itself,
// by the usual conventions: -h/--help, -v/--version, long options after "--",
// a value after a space or '='. Needs no application object.
CommandLine parseCommandLine(const QStringList& arguments);

// "Usage: <program> [options]".
QString usageLine(const QString& program);
// The whole --help text, ending in a line break.
QString helpText(const QString& program);

}  // namespace kestrova
