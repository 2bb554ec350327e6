#pragma once
#include <string>
#include <unordered_map>

#include "linux/ControlGroups.h"
#include "platform/ProcessInfo.h"

namespace kestrova {

// Image paths from /proc/<pid>/exe. The kernel's text is returned as is, so a
// binary that was deleted or replaced since the process started reads
// "/path (deleted)": for someone watching who talks to the network, a program
// whose file is gone is worth seeing, and the bare path would name a
// different file.
//
// Control groups by the inode numbers of the cgroup v2 tree's directories,
// user names from the password database (getpwuid_r), both kept.
class LinuxProcessInfo : public ProcessInfo {
public:
    explicit LinuxProcessInfo(std::string mountinfoPath = "/proc/self/mountinfo") : groups_(std::move(mountinfoPath)) {}

    std::string imagePath(std::int64_t pid) override;
    void beginTick() override { groups_.beginTick(); }
    std::optional<std::string> controlGroupPath(std::uint64_t id) override;
    std::optional<std::string> userName(std::uint32_t uid) override;

    const ControlGroups& controlGroups() const { return groups_; }

private:
    ControlGroups groups_;
    std::unordered_map<std::uint32_t, std::optional<std::string>> users_;
    std::uint64_t usersWalk_ = 0;
};

}  // namespace kestrova
