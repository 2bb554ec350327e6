#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace kestrova {

// Facts about running processes.
class ProcessInfo {
public:
    virtual ~ProcessInfo() = default;
    // Full path of the executable image of `pid`; empty when the process is
    // gone or may not be inspected.
    virtual std::string imagePath(std::int64_t pid) = 0;

    // What names the owner of a socket whose process may not be inspected.
    // A refresh tick begins: the lookups below may look afresh (at most once
    // a tick) for what they have not found yet.
    virtual void beginTick() {}
    // The path of control group `id` below the root of the cgroup v2 tree
    // ("/system.slice/sshd.service"), empty for the root group itself;
    // nothing when no group carries the id or no such tree is mounted.
    virtual std::optional<std::string> controlGroupPath(std::uint64_t) { return std::nullopt; }
    // The account name of `uid`; nothing when it has none.
    virtual std::optional<std::string> userName(std::uint32_t) { return std::nullopt; }
};

}  // namespace kestrova
