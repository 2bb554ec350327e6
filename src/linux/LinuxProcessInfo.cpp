#include "linux/LinuxProcessInfo.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <vector>

#include "linux/Descriptors.h"

namespace kestrova {

std::string LinuxProcessInfo::imagePath(std::int64_t pid) {
    if (pid <= 0 || pid > std::numeric_limits<std::int32_t>::max())
        return {};
    char link[32] = "/proc/";
    auto [end, ec] = std::to_chars(link + 6, link + sizeof link - 5, pid);
    if (ec != std::errc{})
        return {};
    std::char_traits<char>::copy(end, "/exe", 5);

    // readlink does not say how long the target is; grow until it fits.
    std::string path(256, '\0');
    for (;;) {
        ssize_t n = readlink(link, path.data(), path.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::optional<std::string> LinuxProcessInfo::controlGroupPath(std::uint64_t id) { return groups_.path(id); }

std::optional<std::string> LinuxProcessInfo::userName(std::uint32_t uid) {
    // A service that starts makes a group of its own, and may take a uid
    // that a stopped one had (systemd's dynamic users): names are looked up
    // afresh after every walk of the groups.
    if (groups_.walks() != usersWalk_) {
        users_.clear();
        usersWalk_ = groups_.walks();
    }
    auto [it, added] = users_.try_emplace(uid);
    if (!added) return it->second;
    std::vector<char> buffer(1024);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error == 0 && found && found->pw_name) it->second = std::string(found->pw_name);
        // A database that could not be read (out of descriptors, say) is
        // asked again next time rather than taken to know no such user.
        if (error != 0) {
            if (isShortage(error)) reportShortageOnce(error);
            users_.erase(it);
            return std::nullopt;
        }
        return it->second;
    }
}

}  // namespace kestrova
