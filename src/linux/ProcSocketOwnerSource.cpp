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

#include "linux/Descriptors.h"

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

// Notes in `outcome` why a process's descriptors could not be read: they
// may not be read by us, or we ran short of descriptors or memory. A process
// that has gone is no failure.
void lookFailed(int error, ScanOutcome& outcome) {
    if (isShortage(error)) {
        outcome.cutShort = true;
        reportShortageOnce(error);
    } else if (error == EACCES || error == EPERM) {
        outcome.denied = true;
    }
}

}  // namespace

ProcSocketOwnerSource::StartTime ProcSocketOwnerSource::readStartTime(int dirFd, const char* name) {
    // A process that has gone cannot be opened or read any more; one we
    // could not look at for want of descriptors or memory may well live.
    auto failed = [](int error) {
        if (!isShortage(error))
            return StartTime{StartTime::State::Gone};
        reportShortageOnce(error);
        return StartTime{StartTime::State::Unknown};
    };
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failed(errno);
    char text[1024];
    ssize_t n;
    do
        n = read(fd, text, sizeof text);
    while (n < 0 && errno == EINTR);
    const int error = errno;
    close(fd);
    if (n < 0)
        return failed(error);
    const std::optional<std::uint64_t> start =
        parseStartTime(std::string_view(text, static_cast<std::size_t>(n)));
    if (!start)
        return {StartTime::State::Gone};
    return {StartTime::State::Known, *start};
}

std::size_t ProcSocketOwnerSource::defaultMaxPidfds() {
    return std::min<std::size_t>(descriptorLimit() / 4, std::size_t{1} << 16);
}

ProcSocketOwnerSource::ProcSocketOwnerSource(std::string procRoot, std::size_t maxPidfds)
    : procRoot_(std::move(procRoot)), maxPidfds_(maxPidfds) {}

ProcSocketOwnerSource::~ProcSocketOwnerSource() {
    for (auto& [pid, watched] : watched_)
        if (watched.pidfd >= 0)
            close(watched.pidfd);
}

ProcSocketOwnerSource::StartTime ProcSocketOwnerSource::startTimeOf(std::uint32_t pid) const {
    const std::string path = procRoot_ + "/" + std::to_string(pid) + "/stat";
    return readStartTime(AT_FDCWD, path.c_str());
}

ScanOutcome ProcSocketOwnerSource::scan(std::vector<SocketHolder>& holders) {
    holders.clear();
    walked_.clear();
    ScanOutcome outcome;
    outcome.uid = geteuid();
    int procFd = open(procRoot_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* proc = procFd >= 0 ? fdopendir(procFd) : nullptr;
    if (!proc) {
        // No process could be looked at, whatever the reason.
        const int error = errno;
        if (procFd >= 0)
            close(procFd);
        lookFailed(error, outcome);
        outcome.cutShort = true;
        return outcome;
    }
    while (dirent* d = readdir(proc)) {
        std::uint32_t pid = 0;
        if (d->d_name[0] >= '1' && d->d_name[0] <= '9' && parsePid(d->d_name, pid))
            scanProcess(procFd, d->d_name, pid, holders, outcome);
    }
    closedir(proc);  // closes procFd
    return outcome;
}

void ProcSocketOwnerSource::scanProcess(int procFd, const char* pidName, std::uint32_t pid,
                                        std::vector<SocketHolder>& holders, ScanOutcome& outcome) {
    // The open folder stands for this one process: once it ends, nothing
    // in the folder opens any more, even when another process gets its pid.
    const int processFd = openat(procFd, pidName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (processFd < 0) {
        lookFailed(errno, outcome);
        return;
    }
    // The process may end, or deny us, at any point below; whatever was read
    // up to then is still right, so it is simply cut short.
    int fdDirFd = openat(processFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDirFd < 0) {
        lookFailed(errno, outcome);
        close(processFd);
        return;
    }
    DIR* fds = fdopendir(fdDirFd);
    if (!fds) {
        lookFailed(errno, outcome);
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
        const StartTime start = readStartTime(processFd, "stat");
        if (start.state == StartTime::State::Known) {
            walked_[pid] = start.value;
        } else {
            // Ended, and its sockets with it; or not to be told from a later
            // process, so its sockets are left to what was known of them.
            holders.resize(before);
            outcome.cutShort = outcome.cutShort || start.state == StartTime::State::Unknown;
        }
    }
    close(processFd);
}

bool ProcSocketOwnerSource::watch(std::uint32_t pid) {
    if (watched_.contains(pid))
        return true;
    // The process the walk found, if it found this pid; a process with
    // another start time has the pid now.
    const auto walked = walked_.find(pid);
    std::optional<std::uint64_t> known;
    if (walked != walked_.end())
        known = walked->second;
    auto sameProcess = [&](const StartTime& start) {
        if (start.state == StartTime::State::Gone)
            return false;
        if (start.state == StartTime::State::Known) {
            if (known && *known != start.value)
                return false;
            known = start.value;
        }
        // Could not look: taken for the one the walk found, and looked at
        // again by collectExited().
        return true;
    };
    if (pidfdsWork_ && pidfdCount_ < maxPidfds_) {
        int fd = openPidfd(pid);
        if (fd >= 0) {
            // The pidfd holds whichever process has the pid now; is it the
            // one the walk found?
            if (!sameProcess(startTimeOf(pid))) {
                close(fd);
                return false;
            }
            watched_.emplace(pid, Watched{fd, known});
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
    if (!sameProcess(startTimeOf(pid)))
        return false;
    watched_.emplace(pid, Watched{-1, known});
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
    for (auto& [pid, watched] : watched_) {
        if (watched.pidfd >= 0) {
            polled_.push_back({watched.pidfd, POLLIN, 0});
            polledPids_.push_back(pid);
            continue;
        }
        const StartTime now = startTimeOf(pid);
        if (now.state == StartTime::State::Gone) {
            exited.push_back(pid);
        } else if (now.state == StartTime::State::Known) {
            if (watched.start && *watched.start != now.value)
                exited.push_back(pid);  // its pid is another process's now
            else
                watched.start = now.value;
        }
        // Could not look: looked at again next time.
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
