// kestrova-capture: opens one packet capture for Kestrova and writes what it
// sees as fixed-size records to standard output.
//
// This is the only part of Kestrova that ever holds CAP_NET_RAW: as a file
// capability in its permitted set only (cap_net_raw=p), or by being started by
// root. It raises the capability to make its packet socket alone and gives up
// every privilege right after; the socket receives nothing until the filter
// is attached and locked, and the filter cuts every packet to its headers
// inside the kernel. The helper reads what the kernel kept at the end of each
// delivery interval, whatever came when, so that neither its output nor its
// own wake-ups tell when a datagram passed. Its output carries, per
// connection of a machine's own address (IPv4 or IPv6: one family per
// capture), the bytes of each delivery interval, never a payload byte.
//
// Each runs a kernel ring that is not charged to its user's memory, so one
// user may run at most kMaxCapturesPerUser of them at once.
//
// Any member of the group that may run it may start it with any arguments,
// environment and descriptors: all of them are checked, and it fails closed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <net/if.h>
#include <poll.h>
#include <pwd.h>
#include <grp.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "wire/CaptureRecord.h"
#include "wire/ConnectionSums.h"
#include "wire/Datagram.h"
#include "helper/CaptureFilter.h"
#include "helper/HelperOptions.h"
#include "helper/PacketRing.h"
#include "linux/InterfaceAddresses.h"

namespace {

using namespace kestrova;
using namespace kestrova::helper;
using SteadyClock = std::chrono::steady_clock;

// Room for the frames of more than one delivery interval at the highest rates
// loopback reaches, each frame cut to its headers.
constexpr std::size_t kRingBytes = 1 << 20;
// The most bytes in front of a frame's link header in a ring slot: the
// slot's header, the sender's address, and alignment.
constexpr std::size_t kSlotHeaderBytes = 80;
// Enough for every address of a large machine, in more than one Kestrova.
constexpr std::size_t kMaxCapturesPerUser = 128;
constexpr std::string_view kProgramName = "kestrova-capture";
// Captured datagrams are added up over intervals of this length and handed
// over once per interval, so that totals move while a connection is quiet
// and nothing tells when within an interval a datagram passed.
constexpr auto kDeliveryInterval = std::chrono::milliseconds(20);
// An interval with more connections than this is handed over in parts, so
// that a flood of connections cannot grow the helper without bound.
constexpr std::size_t kMaxConnections = 8192;
// How often the helper checks that its address is still there and passes on
// the kernel's counts.
constexpr auto kAddressCheck = std::chrono::seconds(1);
constexpr auto kStatisticsPeriod = std::chrono::milliseconds(250);

bool writeAll(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::byte*>(data);
    while (size > 0) {
        const ssize_t written = write(STDOUT_FILENO, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

template <class Record>
bool writeRecord(const Record& record) {
    const RecordBytes bytes = encodeRecord(record);
    return writeAll(bytes.data(), bytes.size());
}

int fail(HelperStatus status, const char* what, const char* detail = "") {
    writeRecord(StatusRecord{status});
    std::fprintf(stderr, "kestrova-capture: %s%s%s\n", what, *detail ? ": " : "", detail);
    return 1;
}

// What the process must be before it looks at anything it was given: not
// dumpable (no core file, no /proc/PID/mem for the user who started it),
// descriptors 0 to 2 open and no other, standard output a pipe or a socket,
// no environment, and no way to gain a privilege by exec. False when any of
// it cannot be had.
bool settle() {
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return false;
    const rlimit noCore{0, 0};
    if (setrlimit(RLIMIT_CORE, &noCore) != 0) return false;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is this one, as the ones below are open.
        if (open("/dev/null", O_RDWR) != fd) return false;
    }
    if (close_range(3, ~0U, 0) != 0) return false;
    if (clearenv() != 0) return false;
    struct stat output;
    if (fstat(STDOUT_FILENO, &output) != 0 || !(S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode))) return false;
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}

// Whether `name` is a device that exists, holds `address`, and is a loopback
// device. A labelled address (eth0:1) belongs to its device.
struct InterfaceCheck {
    bool holdsAddress = false;
    bool loopback = false;
};

InterfaceCheck checkInterface(const std::string& name, const IpAddress& address) {
    InterfaceCheck check;
    const auto all = interfaceAddresses(address.isIpv4() ? IpFamilies::Ipv4 : IpFamilies::Ipv4AndIpv6);
    if (!all) return check;
    for (const InterfaceAddress& entry : *all) {
        if (entry.device != name || entry.address != address) continue;
        check.holdsAddress = true;
        check.loopback = entry.loopback;
    }
    return check;
}

// The account a capture started by root runs on as. Looked up before the
// capture opens, so that no name service module runs while a capability is
// effective.
struct Account {
    uid_t uid = 65534;
    gid_t gid = 65534;
};

Account nobodyAccount() {
    Account account;
    if (const passwd* nobody = getpwnam("nobody")) {
        account.uid = nobody->pw_uid;
        account.gid = nobody->pw_gid;
    }
    return account;
}

// The highest capability the running kernel knows, which may be above the
// one this program was built with.
cap_value_t lastCapability() {
    cap_value_t last = 0;
    while (prctl(PR_CAPBSET_READ, last + 1, 0, 0, 0) >= 0) ++last;
    return last;
}

bool effective(cap_value_t capability) {
    cap_t now = cap_get_proc();
    if (!now) return false;
    cap_flag_value_t value = CAP_CLEAR;
    const bool read = cap_get_flag(now, capability, CAP_EFFECTIVE, &value) == 0;
    cap_free(now);
    return read && value == CAP_SET;
}

// Raises CAP_NET_RAW from the permitted into the effective set, or lowers it.
bool setNetRawEffective(bool on) {
    cap_t now = cap_get_proc();
    if (!now) return false;
    const cap_value_t netRaw = CAP_NET_RAW;
    const bool done =
        cap_set_flag(now, CAP_EFFECTIVE, 1, &netRaw, on ? CAP_SET : CAP_CLEAR) == 0 && cap_set_proc(now) == 0;
    cap_free(now);
    return done;
}

int threadCount() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

// Gives up everything the process may hold: root becomes `account`, and
// every capability set is emptied. Fails closed: the caller must not go on
// unless this returns true.
bool dropPrivileges(const Account& account) {
    // Other threads would keep their own credentials.
    if (threadCount() != 1) return false;
    uid_t realUid, effectiveUid, savedUid;
    gid_t realGid, effectiveGid, savedGid;
    if (getresuid(&realUid, &effectiveUid, &savedUid) != 0 || getresgid(&realGid, &effectiveGid, &savedGid) != 0)
        return false;
    const cap_value_t last = lastCapability();
    // Only a process that may change its bounding set (root) empties it; for
    // anyone else no_new_privs already keeps any exec from gaining anything.
    const bool boundingToo = effective(CAP_SETPCAP);
    if (boundingToo)
        for (cap_value_t cap = 0; cap <= last; ++cap)
            if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) return false;
    if (realUid == 0 || effectiveUid == 0 || savedUid == 0) {
        // An account that is root in all but name would keep root's files.
        if (account.uid == 0 || account.gid == 0) return false;
        if (setgroups(0, nullptr) != 0 || setresgid(account.gid, account.gid, account.gid) != 0 ||
            setresuid(account.uid, account.uid, account.uid) != 0)
            return false;
    }
    cap_t none = cap_init();
    if (!none) return false;
    const bool cleared = cap_set_proc(none) == 0 && cap_reset_ambient() == 0;
    cap_t now = cap_get_proc();
    const bool empty = now && cap_compare(now, none) == 0;
    if (now) cap_free(now);
    cap_free(none);
    if (!cleared || !empty) return false;

    // Nothing may win any of it back.
    if (getresuid(&realUid, &effectiveUid, &savedUid) != 0 || getresgid(&realGid, &effectiveGid, &savedGid) != 0)
        return false;
    if (realUid == 0 || effectiveUid == 0 || savedUid == 0 || realGid == 0 || effectiveGid == 0 || savedGid == 0)
        return false;
    gid_t groups[NGROUPS_MAX];
    const int groupCount = getgroups(NGROUPS_MAX, groups);
    if (groupCount < 0) return false;
    for (int i = 0; i < groupCount; ++i)
        if (groups[i] == 0) return false;
    if (boundingToo)
        for (cap_value_t cap = 0; cap <= last; ++cap)
            if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) != 0) return false;
    return prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) == 1;
}

// Records of the current interval, and where they go.
struct Output {
    ConnectionSums sums;
    std::vector<std::byte> buffer;
    bool failed = false;

    void flush() {
        for (const ConnectionRecord& record : sums.take()) {
            const RecordBytes bytes = encodeRecord(record);
            buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        }
        if (!buffer.empty() && !writeAll(buffer.data(), buffer.size())) failed = true;
        buffer.clear();
    }
};

// The first line of a file of /proc; nothing when it cannot be read for any
// reason but the process having gone (then `gone` is set).
std::optional<std::string> firstLine(const std::string& path, bool* gone = nullptr) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (gone) *gone = errno == ENOENT || errno == ESRCH;
        return std::nullopt;
    }
    std::string text;
    char chunk[512];
    ssize_t count;
    while (text.find('\n') == std::string::npos && text.size() < 4096 &&
           ((count = read(fd, chunk, sizeof chunk)) > 0 || (count < 0 && errno == EINTR)))
        if (count > 0) text.append(chunk, static_cast<std::size_t>(count));
    close(fd);
    return text.substr(0, text.find('\n'));
}

// How many helpers of the real user `uid` run now, this one among them:
// processes of this program's name (as the kernel keeps it, cut to 15 bytes)
// whose real user is `uid`, zombies aside. Nothing when /proc cannot tell,
// whatever the reason (no descriptor left, say): a count that missed a
// helper would let one more through. Every helper counts before it takes
// anything, and a helper that counted is there to be counted by every later
// one, so however many start at once, no more than the limit get past.
std::optional<std::size_t> capturesOf(uid_t uid, const std::string& name) {
    DIR* const proc = opendir("/proc");
    if (!proc) return std::nullopt;
    std::size_t count = 0;
    bool complete = true;
    while (const dirent* entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        bool gone = false;
        // "pid (name) state ...": the name may hold anything, ')' too.
        const auto stat = firstLine("/proc/" + pid + "/stat", &gone);
        if (!stat) {
            complete = complete && gone;
            continue;
        }
        const std::size_t open = stat->find('('), close = stat->rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open || close + 2 >= stat->size())
            continue;
        const char state = (*stat)[close + 2];
        if (stat->compare(open + 1, close - open - 1, name) != 0 || state == 'Z' || state == 'X') continue;
        std::ifstream status("/proc/" + pid + "/status");
        bool found = false;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Uid:", 0) != 0) continue;
            found = true;
            if (std::strtoul(line.c_str() + 4, nullptr, 10) == uid) ++count;
            break;
        }
        // Gone between the two reads, or unreadable: only the first is fine.
        if (!found && !firstLine("/proc/" + pid + "/stat", &gone)) complete = complete && gone;
        else if (!found) complete = false;
    }
    closedir(proc);
    // This helper is one of them, or the count is not to be trusted.
    if (!complete || count == 0) return std::nullopt;
    return count;
}

// Whether this helper may run: root's always may; anyone else's while their
// helpers, this one among them, are no more than the limit.
HelperStatus withinLimit() {
    const uid_t uid = getuid();
    if (uid == 0) return HelperStatus::Ready;
    // Run under another name (a link, a copy that kept the capability), a
    // helper would escape the count.
    const std::string name = firstLine("/proc/self/comm").value_or(std::string());
    if (name.empty()) return HelperStatus::OpenFailed;
    if (name != kProgramName.substr(0, 15)) return HelperStatus::BadArguments;
    const auto count = capturesOf(uid, name);
    if (!count) return HelperStatus::OpenFailed;
    return *count <= kMaxCapturesPerUser ? HelperStatus::Ready : HelperStatus::TooManyCaptures;
}

int capture(const HelperOptions& options) {
    switch (withinLimit()) {
    case HelperStatus::Ready:
        break;
    case HelperStatus::TooManyCaptures:
        return fail(HelperStatus::TooManyCaptures, "this user runs as many captures as one user may");
    case HelperStatus::BadArguments:
        return fail(HelperStatus::BadArguments, "run under a name that is not kestrova-capture");
    default:
        return fail(HelperStatus::OpenFailed, "cannot count this user's captures in /proc");
    }
    const InterfaceCheck interface = checkInterface(options.interfaceName, options.address);
    if (!interface.holdsAddress) return fail(HelperStatus::NoSuchAddress, "the address is not on the interface");
    // All of an interface is taken only where all of it is the machine's own.
    if (options.wholeInterface && !interface.loopback)
        return fail(HelperStatus::BadArguments, "--whole-interface needs a loopback interface");
    const Account account = nobodyAccount();
    PacketRing::Link link;
    const unsigned index = if_nametoindex(options.interfaceName.c_str());
    if (index == 0 || !PacketRing::linkOf(options.interfaceName, link))
        return fail(HelperStatus::NoSuchAddress, "the interface is gone");
    auto program = captureProgram(link.filterLinkType, options);
    if (!program) return fail(HelperStatus::FilterFailed, "no filter for this capture");
    if (interface.loopback) program = withoutOutgoingCopies(*program);
    static_assert(sizeof(bpf_insn) == sizeof(sock_filter));
    std::vector<sock_filter> instructions(program->size());
    std::memcpy(instructions.data(), program->data(), program->size() * sizeof(sock_filter));

    // The one call that needs the capability, and the only time it is
    // effective. Without it the call fails and says so.
    PacketRing ring;
    setNetRawEffective(true);
    const int opened = ring.open(link);
    setNetRawEffective(false);
    if (opened == EPERM || opened == EACCES)
        return fail(HelperStatus::PermissionDenied, "no permission to capture", std::strerror(opened));
    if (opened) return fail(HelperStatus::OpenFailed, "cannot open the capture", std::strerror(opened));

    // The socket is made: nothing from here on needs any privilege.
    if (!dropPrivileges(account)) return fail(HelperStatus::PrivilegeDropFailed, "cannot give up privileges");

    const char* step = "";
    const std::size_t frameBytes = kSlotHeaderBytes + static_cast<std::size_t>(snapshotLength(options));
    if (const int error = ring.start(instructions, static_cast<int>(index), kRingBytes, frameBytes, step)) {
        const HelperStatus status = std::strstr(step, "filter")                  ? HelperStatus::FilterFailed
                                    : error == ENODEV || error == ENXIO         ? HelperStatus::NoSuchAddress
                                                                                : HelperStatus::OpenFailed;
        const std::string what = std::string("cannot ") + step;
        return fail(status, what.c_str(), std::strerror(error));
    }
    if (!writeRecord(StatusRecord{HelperStatus::Ready})) return 1;

    Output output;
    const auto take = [&output, &link](const PacketRing::Frame& frame) {
        const auto datagram = parseFrame(link.frameLinkType, frame.bytes, frame.wireLength);
        if (!datagram) return;
        output.sums.add(*datagram);
        if (output.sums.connections() >= kMaxConnections) output.flush();
    };
    StatisticsRecord sent, total;
    const auto start = SteadyClock::now();
    auto nextRead = start + kDeliveryInterval;
    auto lastStatistics = start;
    auto lastAddressCheck = start;
    while (true) {
        // Standard output alone, asking for nothing: a reader that went away
        // shows as an error on it. Nothing a packet does wakes this process.
        pollfd out = {STDOUT_FILENO, 0, 0};
        const auto wait = std::max(nextRead - SteadyClock::now(), SteadyClock::duration::zero());
        const auto waitNs = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        const timespec timeout = {static_cast<time_t>(waitNs / 1000000000), static_cast<long>(waitNs % 1000000000)};
        if (ppoll(&out, 1, &timeout, nullptr) < 0 && errno != EINTR) return 1;
        if (out.revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;
        const auto now = SteadyClock::now();
        if (now < nextRead) continue;

        // The frames of the interval that ended, all at once.
        ring.drain(interface.loopback, take);
        output.flush();
        if (output.failed) return 0;
        nextRead = start + ((now - start) / kDeliveryInterval + 1) * kDeliveryInterval;

        if (now - lastAddressCheck >= kAddressCheck) {
            lastAddressCheck = now;
            if (!checkInterface(options.interfaceName, options.address).holdsAddress)
                return fail(HelperStatus::NoSuchAddress, "the address went away");
        }
        if (now - lastStatistics >= kStatisticsPeriod) {
            lastStatistics = now;
            std::uint64_t received = 0, dropped = 0;
            if (ring.counts(received, dropped)) {
                total.received += received;
                total.dropped += dropped;
                if (!(total == sent) && !writeRecord(total)) return 0;
                sent = total;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: the one descriptor this writes to must be the
    // pipe or socket it was started with, or nothing is written at all.
    if (!settle()) return 2;
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto options = parseHelperOptions(arguments);
    if (!options) {
        std::fputs("usage: kestrova-capture INTERFACE ADDRESS [--whole-interface] [--exclude ADDRESS]...\n"
                   "ADDRESS: IPv4, or IPv6 (fe80::1%INTERFACE for a link-local one).\n"
                   "Started by Kestrova; writes binary capture records to standard output.\n",
                   stderr);
        writeRecord(StatusRecord{HelperStatus::BadArguments});
        return 2;
    }
    return capture(*options);
}
