#include "linux/LinuxVersionInfo.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "linux/Descriptors.h"

namespace kestrova {
namespace {

// Each probe returns 0 when the interface is there, else the errno that
// says why not.
int directoryListable(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return errno;
    ::closedir(dir);
    return 0;
}

int fileReadable(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

int sockDiagAvailable() {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

}  // namespace

std::optional<SystemVersion> LinuxVersionInfo::query() {
    struct utsname names {};
    if (::uname(&names) != 0) return std::nullopt;
    return SystemVersion{names.sysname, names.release, names.machine};
}

bool LinuxVersionInfo::kernelInterfacesPresent() {
    failure_.clear();
    // A probe that failed for want of descriptors or memory says nothing
    // about the kernel: what failed is told instead of a verdict.
    auto absent = [this](const char* what, int error) {
        if (isShortage(error) && failure_.empty()) failure_ = std::string(what) + ": " + std::strerror(error);
        return false;
    };
    if (const int error = directoryListable("/proc/self/fd")) return absent("/proc/self/fd", error);
    const int diag = sockDiagAvailable();
    if (diag == 0) return true;
    const int text = fileReadable("/proc/net/tcp");
    if (text == 0) return true;
    absent("NETLINK_SOCK_DIAG", diag);
    return absent("/proc/net/tcp", text);
}

}  // namespace kestrova
