#pragma once
// Checks run in a child process, for what a test must not do to its own
// process: give up root, or use up its descriptors.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrova::testing {

// Runs `check` in a child process (as the user nobody when `asNobody`) and
// returns what it returned: empty when all went well.
inline std::string inChild(const std::function<std::string()>& check, bool asNobody = false) {
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return "no pipe";
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        std::string failure = "could not become nobody";
        if (!asNobody || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0)) failure = check();
        (void)!write(report[1], failure.data(), failure.size());
        _exit(0);
    }
    close(report[1]);
    std::string failure;
    char buffer[512];
    for (ssize_t n; (n = read(report[0], buffer, sizeof buffer)) > 0;) failure.append(buffer, static_cast<std::size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) failure += " (the child crashed)";
    return failure;
}

// Holds every descriptor this process may still open, under a soft limit of
// 256, until released: a process that has run out of descriptors. For
// children only.
class DescriptorsUsedUp {
public:
    DescriptorsUsedUp() {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 256);
        setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds_.push_back(fd);
    }
    ~DescriptorsUsedUp() { release(); }
    DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
    DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;
    void release() {
        for (int fd : fds_) close(fd);
        fds_.clear();
    }

private:
    std::vector<int> fds_;
};

}  // namespace kestrova::testing
