#pragma once
#include <QString>

#include <filesystem>
#include <memory>
#include <string>

#include "linux/LinuxAddressList.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxHostResolver.h"
#include "linux/LinuxPacketSource.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxProfileFile.h"
#include "linux/LinuxVersionInfo.h"
#include "monitor/ConnectionList.h"
#include "options/ProfileStore.h"
#include "qt/CommandLine.h"
#include "ui/EventLog.h"

namespace kestrova {

// What every program drives: the rows, the log and the machine.
struct Machine {
    Machine(const char* argv0, const CommandLine& command);

    // The rows list, and packet checking counts, IPv6 too with -6.
    static IpFamilies familiesOf(const CommandLine& command) {
        return command.ipv6 ? IpFamilies::Ipv4AndIpv6 : IpFamilies::Ipv4;
    }

    // Captions message boxes and prefixes messages on standard error.
    QString applicationName() const;

    // Trouble with the profile, told on standard error.
    ProfileStore::Notices profileNotices() const;

    std::filesystem::path executable;
    // The program's own path, as well as it can be told.
    std::string program;
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    LinuxProfileFile profileFile;
    // Shared with host name lookups that may still be running when the
    // window has gone.
    std::shared_ptr<LinuxHostResolver> resolver = std::make_shared<LinuxHostResolver>();
    LinuxAddressList addresses;
    LinuxPacketSources packetSources;
};

}  // namespace kestrova
