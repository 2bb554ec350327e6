#include "linux/Descriptors.h"

#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrova {

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

std::size_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur == RLIM_INFINITY) return static_cast<std::size_t>(-1);
    return static_cast<std::size_t>(limit.rlim_cur);
}

bool isShortage(int error) { return error == EMFILE || error == ENFILE || error == ENOMEM; }

void reportShortageOnce(int error) {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) return;
    std::fprintf(stderr,
                 "%s: cannot look up every connection's owner (%s): each keeps the owner it had and is looked up "
                 "again later\n",
                 program_invocation_short_name, std::strerror(error));
}

}  // namespace kestrova
