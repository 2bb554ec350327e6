#pragma once
#include <poll.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "linux/SocketOwnerCache.h"

namespace kestrova {

// Socket owners from /proc/<pid>/fd; ended processes noticed through one
// pidfd per watched pid (kill(pid, 0) where pidfds are unavailable).
class ProcSocketOwnerSource : public SocketOwnerSource {
public:
    explicit ProcSocketOwnerSource(std::string procRoot = "/proc");
    ~ProcSocketOwnerSource() override;
    ProcSocketOwnerSource(const ProcSocketOwnerSource&) = delete;
    ProcSocketOwnerSource& operator=(const ProcSocketOwnerSource&) = delete;

    void scan(std::vector<SocketHolder>& holders) override;
    bool watch(std::uint32_t pid) override;
    void unwatch(std::uint32_t pid) override;
    void collectExited(std::vector<std::uint32_t>& exited) override;

private:
    void scanProcess(int procFd, const char* pidName, std::uint32_t pid, std::vector<SocketHolder>& holders);

    std::string procRoot_;
    bool pidfdsWork_ = true;
    std::size_t pidfdCount_ = 0;
    // pid -> pidfd, or -1 for a pid checked with kill().
    std::unordered_map<std::uint32_t, int> watched_;
    std::vector<pollfd> polled_;
    std::vector<std::uint32_t> polledPids_;
};

}  // namespace kestrova
