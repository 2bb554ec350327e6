#pragma once
#include <poll.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "linux/SocketOwnerCache.h"

namespace kestrova {

// Socket owners from /proc/<pid>/fd; ended processes noticed through one
// pidfd per watched pid. A process is told from a later one that got its pid
// by its start time (field 22 of /proc/<pid>/stat): a walk notes it for each
// process it finds holding sockets, and a pid is watched only while that
// same process has it. Past the pidfds (or without them) the start time is
// checked at every collectExited().
class ProcSocketOwnerSource : public SocketOwnerSource {
public:
    // Past this many pidfds, further owners are checked by their start time:
    // a busy server could otherwise fill our descriptor table and starve the
    // /proc walk itself. A quarter of the descriptor limit.
    static std::size_t defaultMaxPidfds();

    explicit ProcSocketOwnerSource(std::string procRoot = "/proc", std::size_t maxPidfds = defaultMaxPidfds());
    ~ProcSocketOwnerSource() override;
    ProcSocketOwnerSource(const ProcSocketOwnerSource&) = delete;
    ProcSocketOwnerSource& operator=(const ProcSocketOwnerSource&) = delete;

    ScanOutcome scan(std::vector<SocketHolder>& holders) override;
    bool watch(std::uint32_t pid) override;
    void unwatch(std::uint32_t pid) override;
    void collectExited(std::vector<std::uint32_t>& exited) override;

private:
    struct Watched {
        int pidfd = -1;  // -1: checked by its start time
        // Nothing while it could not be read yet.
        std::optional<std::uint64_t> start;
    };

    // What a look at a process's start time found.
    struct StartTime {
        enum class State { Known, Gone, Unknown };  // Unknown: could not look
        State state = State::Unknown;
        std::uint64_t value = 0;
    };
    static StartTime readStartTime(int dirFd, const char* name);

    void scanProcess(int procFd, const char* pidName, std::uint32_t pid, std::vector<SocketHolder>& holders,
                     ScanOutcome& outcome);
    // The start time of the process that has `pid` now.
    StartTime startTimeOf(std::uint32_t pid) const;

    std::string procRoot_;
    std::size_t maxPidfds_;
    bool pidfdsWork_ = true;
    std::size_t pidfdCount_ = 0;
    std::unordered_map<std::uint32_t, Watched> watched_;
    // The start times of the processes the last walk found holding sockets.
    std::unordered_map<std::uint32_t, std::uint64_t> walked_;
    std::vector<pollfd> polled_;
    std::vector<std::uint32_t> polledPids_;
};

}  // namespace kestrova
