#include "linux/LinuxPacketSource.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>

#include "capture/CapturePlan.h"
#include "monitor/AddressText.h"

namespace kestrova {

namespace {

// Room for bursts while the worker waits for the window thread; the helper
// blocks (and the kernel's ring takes over) only once this is full.
constexpr int kPipeSize = 1 << 20;

}  // namespace

LinuxPacketSource::LinuxPacketSource(std::string helperPath) : helperPath_(std::move(helperPath)) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

LinuxPacketSource::~LinuxPacketSource() {
    stop();
    reap();
    if (pipe_ >= 0) close(pipe_);
    if (wake_ >= 0) close(wake_);
}

std::vector<std::string> LinuxPacketSource::helperArguments(const std::string& helperPath,
                                                            const CaptureRequest& request) {
    // Addresses as the rows write them; a link-local one names its interface.
    std::vector<std::string> arguments{helperPath, request.interfaceName,
                                       addressText(request.address, request.interfaceName)};
    if (request.wholeInterface) arguments.emplace_back("--whole-interface");
    for (const IpAddress& excluded : request.excluded) {
        arguments.emplace_back("--exclude");
        arguments.push_back(addressText(excluded, request.interfaceName));
    }
    return arguments;
}

SourceStart LinuxPacketSource::start(const CaptureRequest& request) {
    const SourceStart failed{SourceStart::Outcome::Failed, 0};
    if (wake_ < 0 || pipe_ >= 0) return failed;
    int ends[2];
    // Close-on-exec, so that no other child of this process (another worker's
    // helper among them) keeps the write end open and the end of the stream
    // from showing when this helper goes.
    if (pipe2(ends, O_CLOEXEC) != 0) return {SourceStart::Outcome::Failed, errno};
    fcntl(ends[0], F_SETPIPE_SZ, kPipeSize);  // a smaller pipe still works

    const std::vector<std::string> arguments = helperArguments(helperPath_, request);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The helper gets no environment at all: nothing a user sets reaches a
    // program that may hold a capability.
    char* envp[] = {nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The helper starts with default signal handling, whatever this process
    // blocks or ignores.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // In a process group of its own: a terminal's Ctrl+C or hangup reaches
    // this process alone, which then ends its helpers in order, instead of
    // each helper dying by the signal and being reported as killed.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    int error = ECANCELED;
    {
        // Under the lock, so that a stop() now either comes first and nothing
        // starts, or comes after and finds the pid to end.
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            pid_t pid = -1;
            error = posix_spawn(&pid, helperPath_.c_str(), &actions, &attributes, argv.data(), envp);
            if (error == 0) pid_ = pid;
        }
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        // The helper may be run by the members of one group only.
        if (error == EACCES || error == EPERM) return {SourceStart::Outcome::NotPermitted, error};
        return {SourceStart::Outcome::Failed, error};
    }
    pipe_ = ends[0];
    return {};
}

std::size_t LinuxPacketSource::read(std::span<std::byte> buffer) { return readWithin(buffer, -1).value_or(0); }

std::optional<std::size_t> LinuxPacketSource::readWithin(std::span<std::byte> buffer, int timeoutMs) {
    if (pipe_ < 0 || buffer.empty()) return 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
        }
        pollfd fds[2] = {{pipe_, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int ready = poll(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (ready == 0) return std::nullopt;
        if (fds[1].revents) return 0;
        const ssize_t count = ::read(pipe_, buffer.data(), buffer.size());
        if (count > 0) return static_cast<std::size_t>(count);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return 0;
    }
}

void LinuxPacketSource::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    // Not yet reaped, so the pid is still ours and cannot name another process.
    if (pid_ > 0) kill(pid_, SIGKILL);
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wake_, &one, sizeof one);
    }
}

SourceEnd LinuxPacketSource::finish() {
    pid_t pid;
    {
        std::lock_guard lock(mutex_);
        pid = pid_;
    }
    if (pid <= 0) return {};
    // Waited for without reaping and without the lock: a stop() meanwhile
    // still finds the pid, which stays this helper's until reap().
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0)
        if (errno != EINTR) return {};
    reap();
    if (info.si_code == CLD_EXITED) return {SourceEnd::Kind::Exited, info.si_status};
    if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) return {SourceEnd::Kind::Killed, info.si_status};
    return {};
}

void LinuxPacketSource::reap() {
    // Under the lock, so that no stop() can signal the pid between its reaping
    // and its forgetting. The helper was killed already; this takes no time.
    std::lock_guard lock(mutex_);
    if (pid_ <= 0) return;
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

pid_t LinuxPacketSource::helperPid() const {
    std::lock_guard lock(mutex_);
    return pid_;
}

std::unique_ptr<PacketSource> LinuxPacketSources::create() {
    return std::make_unique<LinuxPacketSource>(helperPath_);
}

bool safeToGrant(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path canonical = fs::canonical(path, error);
    // No link anywhere on the way: each one could be pointed elsewhere later.
    if (error || canonical != fs::path(path)) return false;
    struct stat file;
    if (lstat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != 0 ||
        (file.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return false;
    for (fs::path directory = canonical.parent_path();; directory = directory.parent_path()) {
        struct stat status;
        if (lstat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != 0) return false;
        // Others may write a sticky directory (/tmp), but not replace root's
        // entries in it.
        if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(status.st_mode & S_ISVTX)) return false;
        if (directory == directory.parent_path()) return true;
    }
}

CaptureAccess LinuxPacketSources::access() const {
    CaptureAccess access;
    struct stat file;
    const bool known = stat(helperPath_.c_str(), &file) == 0;
    if (known && (file.st_mode & S_IXGRP) && file.st_gid != 0) {
        const group* entry = getgrgid(file.st_gid);
        access.group = entry && entry->gr_name ? entry->gr_name : std::to_string(file.st_gid);
    }
    const passwd* user = getpwuid(getuid());
    access.user = user && user->pw_name ? user->pw_name : std::to_string(getuid());

    const std::string grant = "sudo setcap cap_net_raw=p " + helperPath_;
    if (!safeToGrant(helperPath_)) {
        // A file someone else could write or swap must not get a capability:
        // the helper has to be installed first.
        access.grantCommand =
            "sudo cmake --install " + std::filesystem::path(helperPath_).parent_path().string();
    } else if (known && (file.st_mode & S_IXOTH)) {
        // Granted as it is, every user could capture; the group comes first.
        const std::string group = kCaptureGroup;
        access.grantCommand = "sudo chgrp " + group + " " + helperPath_ + " && sudo chmod 0750 " + helperPath_ +
                              " && " + grant;
    } else {
        access.grantCommand = grant;
    }
    return access;
}

bool LinuxPacketSources::mayCapture() const {
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) return true;
    if (geteuid() == 0) return true;
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, CAP_NET_RAW, 0, 0) == 1;
}

std::string locateCaptureHelper(const std::string& executable) {
    namespace fs = std::filesystem;
    const fs::path directory = fs::path(executable).parent_path();
    const fs::path beside = directory / kCaptureHelperName;
    const fs::path installed = (directory / ".." / "libexec" / "kestrova" / kCaptureHelperName).lexically_normal();
    // Existence, not the right to run it: an installed helper only its group
    // may run is still the one to try, so that a user outside the group is
    // told how to join it.
    for (const fs::path& candidate : {beside, installed})
        if (access(candidate.c_str(), F_OK) == 0) return candidate.string();
    return beside.string();
}

}  // namespace kestrova
