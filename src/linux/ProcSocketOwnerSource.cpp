#include "linux/ProcSocketOwnerSource.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <algorithm>
#include <cstring>
#include <string_view>

namespace kestrova {
namespace {

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

// The start time (field 22) from the text of /proc/<pid>/stat. The second
// field, the command name in parentheses, may itself hold spaces and
// parentheses, so the fields are counted from the last ')'.
std::optional<std::uint64_t> parseStartTime(std::string_view stat) {
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    stat.remove_prefix(close + 1);
    for (int field = 3; field <= 22; ++field) {
        const std::size_t start = stat.find_first_not_of(' ');
        if (start == std::string_view::npos)
            return std::nullopt;
        stat.remove_prefix(start);
        const std::size_t end = std::min(stat.find(' '), stat.size());
        if (field == 22) {
            std::uint64_t value = 0;
            auto [ptr, ec] = std::from_chars(stat.data(), stat.data() + end, value);
            if (ec != std::errc{} || ptr != stat.data() + end)
                return std::nullopt;
            return value;
        }
        stat.remove_prefix(end);
    }
    return std::nullopt;
}

// The start time from the stat file `name` in folder `dirFd`.
std::optional<std::uint64_t> readStartTime(int dirFd, const char* name) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char text[1024];
    ssize_t n;
    do
        n = read(fd, text, sizeof text);
    while (n < 0 && errno == EINTR);
    close(fd);
    if (n <= 0)
        return std::nullopt;
    return parseStartTime(std::string_view(text, static_cast<std::size_t>(n)));
}

}  // namespace

ProcSocketOwnerSource::ProcSocketOwnerSource(std::string procRoot, std::size_t maxPidfds)
    : procRoot_(std::move(procRoot)), maxPidfds_(maxPidfds) {}

ProcSocketOwnerSource::~ProcSocketOwnerSource() {
    for (auto& [pid, watched] : watched_)
        if (watched.pidfd >= 0)
            close(watched.pidfd);
}

std::optional<std::uint64_t> ProcSocketOwnerSource::startTimeOf(std::uint32_t pid) const {
    const std::string path = procRoot_ + "/" + std::to_string(pid) + "/stat";
    return readStartTime(AT_FDCWD, path.c_str());
}

void ProcSocketOwnerSource::scan(std::vector<SocketHolder>& holders) {
    holders.clear();
    walked_.clear();
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
    // The open folder stands for this one process: once it ends, nothing
    // in the folder opens any more, even when another process gets its pid.
    const int processFd = openat(procFd, pidName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (processFd < 0)
        return;
    // The process may end, or deny us, at any point below; whatever was read
    // up to then is still right, so it is simply cut short.
    int fdDirFd = openat(processFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDirFd < 0) {
        close(processFd);
        return;
    }
    DIR* fds = fdopendir(fdDirFd);
    if (!fds) {
        close(fdDirFd);
        close(processFd);
        return;
    }
    const std::size_t before = holders.size();
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
    if (holders.size() > before) {
        // What tells this process from a later one with its pid.
        if (auto start = readStartTime(processFd, "stat"))
            walked_[pid] = *start;
        else
            holders.resize(before);  // it has ended, and its sockets with it
    }
    close(processFd);
}

bool ProcSocketOwnerSource::watch(std::uint32_t pid) {
    if (watched_.contains(pid))
        return true;
    // The process the walk found, if it found this pid.
    const auto walked = walked_.find(pid);
    auto sameProcess = [&](std::optional<std::uint64_t> start) {
        return start && (walked == walked_.end() || *start == walked->second);
    };
    if (pidfdsWork_ && pidfdCount_ < maxPidfds_) {
        int fd = openPidfd(pid);
        if (fd >= 0) {
            // The pidfd holds whichever process has the pid now; is it the
            // one the walk found?
            const std::optional<std::uint64_t> start = startTimeOf(pid);
            if (!sameProcess(start)) {
                close(fd);
                return false;
            }
            watched_.emplace(pid, Watched{fd, *start});
            ++pidfdCount_;
            return true;
        }
        if (errno == ESRCH)
            return false;
        if (errno == ENOSYS || errno == EPERM)  // old kernel, or filtered by seccomp
            pidfdsWork_ = false;
        // Otherwise (out of descriptors, say) this one pid is checked by its
        // start time.
    }
    const std::optional<std::uint64_t> start = startTimeOf(pid);
    if (!sameProcess(start))
        return false;
    watched_.emplace(pid, Watched{-1, *start});
    return true;
}

void ProcSocketOwnerSource::unwatch(std::uint32_t pid) {
    auto it = watched_.find(pid);
    if (it == watched_.end())
        return;
    if (it->second.pidfd >= 0) {
        close(it->second.pidfd);
        --pidfdCount_;
    }
    watched_.erase(it);
}

void ProcSocketOwnerSource::collectExited(std::vector<std::uint32_t>& exited) {
    if (watched_.empty())
        return;
    polled_.clear();
    polledPids_.clear();
    for (const auto& [pid, watched] : watched_) {
        if (watched.pidfd >= 0) {
            polled_.push_back({watched.pidfd, POLLIN, 0});
            polledPids_.push_back(pid);
        } else if (startTimeOf(pid) != watched.start) {
            exited.push_back(pid);  // gone, or its pid is another process's now
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
