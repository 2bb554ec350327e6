#pragma once
#include <cstdint>
#include <vector>

// The kernel's part of a refresh and nothing else: the same netlink request
// the program sends for its table, every reply datagram received, nothing
// parsed. What any monitor of this table costs at the least.
class BareDump {
public:
    BareDump();
    ~BareDump();
    BareDump(const BareDump&) = delete;
    BareDump& operator=(const BareDump&) = delete;

    // One dump; the number of sockets the kernel listed, or -1.
    int run();

private:
    int fd_ = -1;
    std::uint32_t portId_ = 0;
    std::uint32_t seq_ = 0;
    std::vector<char> buffer_;
};
