#include "linux/LinuxProcessInfo.h"

#include <unistd.h>

#include <charconv>
#include <limits>

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

}  // namespace kestrova
