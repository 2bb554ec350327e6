#include "linux/LinuxVersionInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kestrova {
namespace {

bool directoryListable(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return false;
    ::closedir(dir);
    return true;
}

bool fileReadable(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool sockDiagAvailable() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace

std::optional<SystemVersion> LinuxVersionInfo::query() {
    struct utsname names {};
    if (::uname(&names) != 0) return std::nullopt;
    return SystemVersion{names.sysname, names.release, names.machine};
}

bool LinuxVersionInfo::kernelInterfacesPresent() {
    return directoryListable("/proc/self/fd") && (sockDiagAvailable() || fileReadable("/proc/net/tcp"));
}

}  // namespace kestrova
