#include "Tcpdump.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

extern char** environ;

namespace kestrova::testing {

namespace {

pid_t spawn(const std::vector<std::string>& command, int errorFd, bool quiet) {
    std::vector<char*> argv;
    for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (errorFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO);
    else if (quiet)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Appends what `fd` has to `text` until `until` appears, it ends, or time runs out.
bool readUntil(int fd, std::string& text, const char* until, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!until || text.find(until) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return until == nullptr;
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return true;
}

}  // namespace

bool runCommand(const std::vector<std::string>& command, bool quiet) {
    const pid_t pid = spawn(command, -1, quiet);
    if (pid < 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Tcpdump::Tcpdump(const std::string& interfaceName, const std::string& file, const std::string& netns,
                 const std::vector<std::string>& options) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    std::vector<std::string> command;
    if (!netns.empty()) command = {"ip", "netns", "exec", netns};
    // -Z root: it writes the file where the test made it, as the test's user.
    for (const char* part : {"tcpdump", "-n", "-Z", "root", "-i"}) command.emplace_back(part);
    command.push_back(interfaceName);
    command.emplace_back("-w");
    command.push_back(file);
    command.insert(command.end(), options.begin(), options.end());
    pid_ = spawn(command, ends[1], true);
    close(ends[1]);
    stderr_ = ends[0];
    if (pid_ < 0) return;
    listening_ = readUntil(stderr_, report_, "listening on", std::chrono::seconds(10));
}

Tcpdump::~Tcpdump() {
    if (pid_ > 0) stop();
    if (stderr_ >= 0) close(stderr_);
}

Tcpdump::Result Tcpdump::stop() {
    Result result;
    if (pid_ <= 0) return result;
    kill(pid_, SIGINT);
    readUntil(stderr_, report_, nullptr, std::chrono::seconds(10));
    int status = 0;
    rusage usage{};
    while (wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    auto count = [&](const char* label) -> std::optional<std::uint64_t> {
        const std::size_t at = report_.find(label);
        if (at == std::string::npos) return std::nullopt;
        std::size_t start = report_.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return std::strtoull(report_.c_str() + start, nullptr, 10);
    };
    const auto received = count(" packets received by filter");
    const auto dropped = count(" packets dropped by kernel");
    if (!received || !dropped) return result;
    result.received = *received;
    result.dropped = *dropped;
    result.ok = listening_;
    return result;
}

}  // namespace kestrova::testing
