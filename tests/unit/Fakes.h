#pragma once
// Fakes of the platform interfaces for tests of the logic.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/ConnectionTable.h"
#include "platform/ProcessInfo.h"
#include "platform/ProfileFile.h"
#include "platform/VersionInfo.h"
#include "platform/WindowHost.h"

namespace kestrova::testing {

inline TcpRow tcp(std::uint32_t state, IpAddress local, std::uint16_t localPort, IpAddress remote,
                  std::uint16_t remotePort, std::uint32_t pid, std::uint32_t interfaceIndex = 0) {
    return {state, local, localPort, remote, remotePort, pid, interfaceIndex};
}

// An IPv6 address from its eight groups: ipv6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}).
inline IpAddress ipv6(const std::array<std::uint16_t, 8>& groups) {
    IpAddress::Ipv6Bytes bytes{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    return IpAddress::fromIpv6(bytes);
}

class FakeConnectionTable : public ConnectionTable {
public:
    std::vector<TcpRow> rows;
    std::map<std::uint32_t, std::string> interfaces;
    bool fail = false;
    int calls = 0;
    bool snapshot(std::vector<TcpRow>& out) override {
        ++calls;
        if (fail) return false;
        out = rows;
        return true;
    }
    std::string interfaceName(std::uint32_t index) override {
        auto it = interfaces.find(index);
        return it == interfaces.end() ? ConnectionTable::interfaceName(index) : it->second;
    }
};

class FakeProcessInfo : public ProcessInfo {
public:
    std::map<std::int64_t, std::string> paths;
    std::map<std::uint64_t, std::string> groups;  // control group id -> path
    std::map<std::uint32_t, std::string> users;
    int lookups = 0;
    int ownerLookups = 0;  // of groups and users
    int ticks = 0;
    std::string imagePath(std::int64_t pid) override {
        ++lookups;
        auto it = paths.find(pid);
        return it == paths.end() ? std::string() : it->second;
    }
    void beginTick() override { ++ticks; }
    std::optional<std::string> controlGroupPath(std::uint64_t id) override {
        ++ownerLookups;
        auto it = groups.find(id);
        return it == groups.end() ? std::nullopt : std::optional(it->second);
    }
    std::optional<std::string> userName(std::uint32_t uid) override {
        auto it = users.find(uid);
        return it == users.end() ? std::nullopt : std::optional(it->second);
    }
};

class ManualClock : public Clock {
public:
    LocalTime time{2004, 3, 7, 9, 5, 2};
    LocalTime now() override { return time; }
};

// The profile's bytes in memory (none: no file); every replace is
// recorded, failed or not.
class MemoryProfileFile : public ProfileFile {
public:
    explicit MemoryProfileFile(std::optional<std::string> initial = std::nullopt) : contents(std::move(initial)) {}
    std::optional<std::string> contents;
    bool unreadable = false;  // the contents are there but cannot be read
    bool failReplace = false;
    std::vector<std::string> attempts;
    ProfileRead read() override {
        if (unreadable) return {ProfileRead::Status::Unreadable, {}, "Permission denied"};
        if (!contents) return {ProfileRead::Status::Missing, {}, {}};
        return {ProfileRead::Status::Read, *contents, {}};
    }
    bool replace(const std::string& text) override {
        attempts.push_back(text);
        if (failReplace) return false;
        contents = text;
        return true;
    }
    std::string replaceProblem() const override { return "No space left on device"; }
};

class FakeVersionInfo : public VersionInfo {
public:
    std::optional<SystemVersion> version = SystemVersion{"Linux", "6.1.0-18-amd64", "x86_64"};
    bool interfaces = true;
    std::string checkFailure;
    std::optional<SystemVersion> query() override { return version; }
    bool kernelInterfacesPresent() override { return interfaces; }
    std::string kernelCheckFailure() override { return checkFailure; }
};

// Records what the window logic asks of the window.
class FakeHost : public WindowHost {
public:
    std::string title;
    std::map<TimerId, std::int32_t> timers;  // armed timers and their periods
    std::vector<std::string> calls;                // a trace of the calls, in order
    int closeRequests = 0;
    std::vector<CommandCode> postedCommands;
    std::vector<std::string> messages;
    std::vector<MenuEntry> lastMenu;
    Point lastMenuPoint;
    CommandCode menuChoice{};
    int aboutBoxes = 0;
    std::map<Pane, std::array<int, 4>> panes;
    std::optional<bool> topmost;
    std::optional<std::uint8_t> opacity;
    bool opacitySupported = true;

    void setTitle(const std::string& t) override { title = t; }
    void setTimer(TimerId id, std::int32_t period) override {
        timers[id] = period;
        calls.push_back("setTimer " + std::to_string(static_cast<std::uint32_t>(id)) + " " + std::to_string(period));
    }
    void killTimer(TimerId id) override {
        timers.erase(id);
        calls.push_back("killTimer " + std::to_string(static_cast<std::uint32_t>(id)));
    }
    void postClose() override {
        ++closeRequests;
        calls.push_back("postClose");
    }
    void postSysCommand(CommandCode code) override { postedCommands.push_back(code); }
    void showInformation(const std::string& text) override {
        messages.push_back(text);
        calls.push_back("showInformation");
    }
    CommandCode trackPopupMenu(const std::vector<MenuEntry>& entries, Point at) override {
        lastMenu = entries;
        lastMenuPoint = at;
        return menuChoice;
    }
    void runAboutBox() override { ++aboutBoxes; }
    void movePane(Pane pane, int x, int y, int w, int h) override { panes[pane] = {x, y, w, h}; }
    void applyTopmost(bool onTop) override {
        topmost = onTop;
        calls.push_back(std::string("applyTopmost ") + (onTop ? "1" : "0"));
    }
    void applyOpacity(std::uint8_t alpha) override {
        opacity = alpha;
        calls.push_back("applyOpacity " + std::to_string(alpha));
    }
    bool supportsOpacity() override { return opacitySupported; }
};

}  // namespace kestrova::testing
