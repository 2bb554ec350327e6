#include "linux/ProcSocketOwnerSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

namespace kestrova {
namespace {

// Past this many pidfds, further owners are checked with kill(): a busy server
// could otherwise fill our descriptor table and starve the /proc walk itself.
constexpr std::size_t kMaxPidfds = 512;

bool parsePid(const char* name, std::uint32_t& pid) {
    const char* end = name + std::strlen(name);
    auto [ptr, ec] = std::from_chars(name, end, pid);
    return ec == std::errc{} && ptr == end && pid != 0;
}

int openPidfd(std::uint32_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

ProcSocketOwnerSource::ProcSocketOwnerSource(std::string procRoot) : procRoot_(std::move(procRoot)) {}

ProcSocketOwnerSource::~ProcSocketOwnerSource() {
    for (auto& [pid, fd] : watched_)
        if (fd >= 0)
            close(fd);
}

void ProcSocketOwnerSource::scan(std::vector<SocketHolder>& holders) {
    holders.clear();
    int procFd = open(procRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        return;
    DIR* proc = fdopendir(procFd);
    if (!proc) {
        close(procFd);
        return;
    }
    while (dirent* d = readdir(proc)) {
        std::uint32_t pid = 0;
        if (d->d_name[0] >= '1' && d->d_name[0] <= '9' && parsePid(d->d_name, pid))
            scanProcess(procFd, d->d_name, pid, holders);
    }
    closedir(proc);  // closes procFd
}

void ProcSocketOwnerSource::scanProcess(int procFd, const char* pidName, std::uint32_t pid,
                                        std::vector<SocketHolder>& holders) {
    char path[32];
    std::size_t n = std::strlen(pidName);
    if (n + 4 >= sizeof path)
        return;
    std::memcpy(path, pidName, n);
    std::memcpy(path + n, "/fd", 4);

    // The process may end, or deny us, at any point below; whatever was read
    // up to then is still right, so it is simply cut short.
    int fdDirFd = openat(procFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDirFd < 0)
        return;
    DIR* fds = fdopendir(fdDirFd);
    if (!fds) {
        close(fdDirFd);
        return;
    }
    constexpr std::string_view kPrefix = "socket:[";
    char link[64];
    while (dirent* d = readdir(fds)) {
        if (d->d_name[0] == '.')
            continue;
        ssize_t len = readlinkat(fdDirFd, d->d_name, link, sizeof link);
        if (len <= static_cast<ssize_t>(kPrefix.size()) + 1 || len >= static_cast<ssize_t>(sizeof link))
            continue;
        std::string_view target(link, static_cast<std::size_t>(len));
        if (!target.starts_with(kPrefix) || target.back() != ']')
            continue;
        std::uint64_t inode = 0;
        const char* first = link + kPrefix.size();
        const char* last = link + len - 1;
        auto [ptr, perr] = std::from_chars(first, last, inode);
        if (perr == std::errc{} && ptr == last)
            holders.push_back({inode, pid});
    }
    closedir(fds);
}

bool ProcSocketOwnerSource::watch(std::uint32_t pid) {
    if (watched_.contains(pid))
        return true;
    if (pidfdsWork_ && pidfdCount_ < kMaxPidfds) {
        int fd = openPidfd(pid);
        if (fd >= 0) {
            watched_.emplace(pid, fd);
            ++pidfdCount_;
            return true;
        }
        if (errno == ESRCH)
            return false;
        if (errno == ENOSYS || errno == EPERM)  // old kernel, or filtered by seccomp
            pidfdsWork_ = false;
        // Otherwise (out of descriptors, say) this one pid falls back to kill().
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        return false;
    watched_.emplace(pid, -1);
    return true;
}

void ProcSocketOwnerSource::unwatch(std::uint32_t pid) {
    auto it = watched_.find(pid);
    if (it == watched_.end())
        return;
    if (it->second >= 0) {
        close(it->second);
        --pidfdCount_;
    }
    watched_.erase(it);
}

void ProcSocketOwnerSource::collectExited(std::vector<std::uint32_t>& exited) {
    if (watched_.empty())
        return;
    polled_.clear();
    polledPids_.clear();
    for (const auto& [pid, fd] : watched_) {
        if (fd >= 0) {
            polled_.push_back({fd, POLLIN, 0});
            polledPids_.push_back(pid);
        } else if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            exited.push_back(pid);
        }
    }
    if (polled_.empty())
        return;
    // A pidfd turns readable once its process has ended, zombie or reaped.
    int ready = poll(polled_.data(), polled_.size(), 0);
    if (ready <= 0)
        return;
    for (std::size_t i = 0; i < polled_.size(); ++i)
        if (polled_[i].revents != 0)
            exited.push_back(polledPids_[i]);
}

}  // namespace kestrova
