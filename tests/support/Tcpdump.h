#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::testing {

// tcpdump writing what one interface sees to a file: the yardstick the
// capture is measured against.
class Tcpdump {
public:
    // Starts `tcpdump -i interface -w file` with any `options` given, inside
    // network namespace `netns` when one is named, and waits until it captures.
    Tcpdump(const std::string& interfaceName, const std::string& file, const std::string& netns = "",
            const std::vector<std::string>& options = {});
    ~Tcpdump();
    Tcpdump(const Tcpdump&) = delete;
    Tcpdump& operator=(const Tcpdump&) = delete;

    bool listening() const { return listening_; }

    struct Result {
        bool ok = false;
        std::uint64_t received = 0;  // "received by filter", the dropped ones included
        std::uint64_t dropped = 0;   // "dropped by kernel"
        double cpuSeconds = 0;      // user and system time of the whole run
    };
    // Interrupts it, so that it finishes its file, and waits for it.
    Result stop();

private:
    pid_t pid_ = -1;
    int stderr_ = -1;
    bool listening_ = false;
    std::string report_;
};

// Runs a command to its end; true when it exits with 0. Its output goes to
// /dev/null unless `quiet` is false.
bool runCommand(const std::vector<std::string>& command, bool quiet = true);

}  // namespace kestrova::testing
