#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace kestrova {

// Where the cgroup v2 tree is mounted, read from the text of
// /proc/self/mountinfo: the mount point of a "cgroup2" mount of the tree's
// root (machines that also mount the older hierarchies put it in a subfolder
// such as /sys/fs/cgroup/unified), else of any "cgroup2" mount; nothing
// without one.
std::optional<std::string> findCgroup2Mount(std::string_view mountinfo);

// The paths of control groups by id. A cgroup v2 group's id is the inode
// number of its directory, so one walk of the tree names every group there
// is; the names are kept, and the tree is walked again only for an id not
// seen yet, at most once between two calls of beginTick(). An id still
// unknown after such a walk belongs to a group removed since (ids are never
// handed out again), and is not looked for again. A walk that could not
// finish (out of descriptors, say) proves no group gone: the names known
// stay, those it found join them, and the next tick walks again.
class ControlGroups {
public:
    explicit ControlGroups(std::string mountinfoPath = "/proc/self/mountinfo")
        : mountinfoPath_(std::move(mountinfoPath)) {}

    void beginTick() { walkedThisTick_ = false; }
    // "/a/b.service" below the tree's root, "" for the root; nothing when no
    // group has the id or no tree is mounted.
    std::optional<std::string> path(std::uint64_t id);
    // How many times the tree was walked.
    std::uint64_t walks() const { return walks_; }

private:
    // False when the walk could not look everywhere.
    bool walk();
    bool walkBelow(int directory, const std::string& path, int depth,
                   std::unordered_map<std::uint64_t, std::string>& found);

    std::string mountinfoPath_;
    std::unordered_map<std::uint64_t, std::string> paths_;
    std::unordered_set<std::uint64_t> missing_;
    bool walkedThisTick_ = false;
    bool walkComplete_ = true;
    std::uint64_t walks_ = 0;
};

}  // namespace kestrova
