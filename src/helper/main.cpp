// kestrova-capture: opens one packet capture for Kestrova and writes what it
// sees as fixed-size records to standard output.
//
// This is the only part of Kestrova that ever holds CAP_NET_RAW: as a file
// capability in its permitted set only (cap_net_raw=p), or by being started by
// root. It raises the capability for pcap_activate alone and gives up every
// privilege before it reads a single packet; it attaches its filter after
// that, and the filter cuts every packet to its headers inside the kernel.
// Its output carries, per connection of a machine's own address (IPv4 or
// IPv6: one family per capture), the bytes of each delivery interval, never a
// payload byte or a datagram's own time.
//
// Any member of the group that may run it may start it with any arguments,
// environment and descriptors: all of them are checked, and it fails closed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <pcap/pcap.h>
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
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/CaptureRecord.h"
#include "capture/ConnectionSums.h"
#include "capture/Datagram.h"
#include "helper/CaptureFilter.h"
#include "helper/HelperOptions.h"
#include "linux/InterfaceAddresses.h"

namespace {

using namespace kestrova;
using namespace kestrova::helper;
using SteadyClock = std::chrono::steady_clock;

// Big enough that a burst on loopback does not overflow it while the reader
// is busy; the capture library's 2 MiB default does.
constexpr int kRingBytes = 8 << 20;
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
// A capture that keeps failing this long (an interface down for good) ends.
constexpr int kErrorRetries = 50;
constexpr auto kErrorPause = std::chrono::milliseconds(100);

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

// Attaches the program to the capture's socket, locks it there, and reads it
// back: the kernel must hold exactly this program, or nothing is captured.
bool attachFilter(int fd, const std::vector<bpf_insn>& program) {
    static_assert(sizeof(bpf_insn) == sizeof(sock_filter));
    std::vector<sock_filter> instructions(program.size());
    std::memcpy(instructions.data(), program.data(), program.size() * sizeof(sock_filter));
    const sock_fprog fprog{static_cast<unsigned short>(instructions.size()), instructions.data()};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0) return false;
    const int lock = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &lock, sizeof lock) != 0) return false;
    socklen_t count = 0;
    if (getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, nullptr, &count) != 0 || count != instructions.size()) return false;
    std::vector<sock_filter> held(count);
    if (getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, held.data(), &count) != 0 || count != instructions.size())
        return false;
    return std::memcmp(held.data(), instructions.data(), count * sizeof(sock_filter)) == 0;
}

// Records of the current interval, and where they go.
struct Output {
    int linkType = 0;
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

void onFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* output = reinterpret_cast<Output*>(user);
    const auto datagram =
        parseFrame(output->linkType, std::span<const std::uint8_t>(bytes, header->caplen), header->len);
    if (!datagram) return;
    output->sums.add(*datagram);
    if (output->sums.connections() >= kMaxConnections) output->flush();
}

// Frames that reached the buffer before the filter may hold anything: they
// are wiped where they lie. The buffer is the kernel's ring, mapped writable.
void wipeFrame(u_char*, const pcap_pkthdr* header, const u_char* bytes) {
    std::memset(const_cast<u_char*>(bytes), 0, header->caplen);
}

int capture(const HelperOptions& options) {
    const InterfaceCheck interface = checkInterface(options.interfaceName, options.address);
    if (!interface.holdsAddress) return fail(HelperStatus::NoSuchAddress, "the address is not on the interface");
    // All of an interface is taken only where all of it is the machine's own.
    if (options.wholeInterface && !interface.loopback)
        return fail(HelperStatus::BadArguments, "--whole-interface needs a loopback interface");
    const Account account = nobodyAccount();

    char error[PCAP_ERRBUF_SIZE] = "";
    const std::unique_ptr<pcap_t, void (*)(pcap_t*)> handle(pcap_create(options.interfaceName.c_str(), error),
                                                            pcap_close);
    pcap_t* const pcap = handle.get();
    if (!pcap) return fail(HelperStatus::OpenFailed, "cannot create the capture", error);
    pcap_set_snaplen(pcap, snapshotLength(options));
    pcap_set_promisc(pcap, 0);
    // Frames of a fixed size, each no longer than the snapshot, even before
    // the filter is attached; the helper paces its own reads.
    pcap_set_immediate_mode(pcap, 1);
    pcap_set_buffer_size(pcap, kRingBytes);
    // The one call that needs the capability, and the only time it is
    // effective. Without it the call fails and says so.
    setNetRawEffective(true);
    const int activated = pcap_activate(pcap);
    setNetRawEffective(false);
    if (activated == PCAP_ERROR_PERM_DENIED)
        return fail(HelperStatus::PermissionDenied, "no permission to capture", pcap_geterr(pcap));
    if (activated == PCAP_ERROR_NO_SUCH_DEVICE || activated == PCAP_ERROR_IFACE_NOT_UP)
        return fail(HelperStatus::NoSuchAddress, "the interface is gone or down", pcap_geterr(pcap));
    if (activated < 0) return fail(HelperStatus::OpenFailed, "cannot open the capture", pcap_geterr(pcap));

    // The capture is open: nothing from here on needs any privilege.
    if (!dropPrivileges(account)) return fail(HelperStatus::PrivilegeDropFailed, "cannot give up privileges");

    Output output;
    output.linkType = pcap_datalink(pcap);
    if (!linkTypeSupported(output.linkType)) return fail(HelperStatus::OpenFailed, "unsupported link type");
    const auto program = captureProgram(output.linkType, options);
    if (!program) return fail(HelperStatus::FilterFailed, "no filter for this capture");
    if (!attachFilter(pcap_fileno(pcap), *program))
        return fail(HelperStatus::FilterFailed, "the kernel does not hold the filter", std::strerror(errno));
    if (pcap_setnonblock(pcap, 1, error) != 0) return fail(HelperStatus::OpenFailed, "cannot poll", error);
    const int captureFd = pcap_get_selectable_fd(pcap);
    if (captureFd < 0) return fail(HelperStatus::OpenFailed, "no descriptor to poll");
    // Whatever came in before the filter is not counted, and not kept.
    if (pcap_dispatch(pcap, -1, wipeFrame, nullptr) < 0)
        return fail(HelperStatus::OpenFailed, "cannot read the capture", pcap_geterr(pcap));
    if (!writeRecord(StatusRecord{HelperStatus::Ready})) return 1;

    StatisticsRecord sent;
    const auto start = SteadyClock::now();
    auto lastStatistics = start;
    auto lastAddressCheck = start;
    int errors = 0;
    while (true) {
        // Standard output in the set, asking for nothing: a reader that went
        // away shows as an error on it, even when no packet comes to write.
        pollfd fds[2] = {{captureFd, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
        if (poll(fds, 2, 250) < 0 && errno != EINTR) return 1;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;

        int handled = 0;
        if (fds[0].revents) {
            // Frames are read at the end of the interval they came in, all
            // of them at once.
            const auto now = SteadyClock::now();
            const auto intervals = (now - start + kDeliveryInterval - std::chrono::nanoseconds(1)) / kDeliveryInterval;
            std::this_thread::sleep_until(start + intervals * kDeliveryInterval);
            handled = pcap_dispatch(pcap, -1, onFrame, reinterpret_cast<u_char*>(&output));
            output.flush();
            if (output.failed) return 0;
        }

        const auto now = SteadyClock::now();
        // An error the capture's descriptor keeps reporting would wake the
        // poll at once, again and again; it counts as a failing read.
        const bool faulted = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (handled < 0 || faulted) {
            // A failing read is tried again after a pause, and not for ever.
            if (!checkInterface(options.interfaceName, options.address).holdsAddress)
                return fail(HelperStatus::NoSuchAddress, "the address went away");
            if (++errors > kErrorRetries) return fail(HelperStatus::ReadFailed, "the capture keeps failing");
            std::this_thread::sleep_for(kErrorPause);
            continue;
        }
        errors = 0;
        if (now - lastAddressCheck >= kAddressCheck) {
            lastAddressCheck = now;
            if (!checkInterface(options.interfaceName, options.address).holdsAddress)
                return fail(HelperStatus::NoSuchAddress, "the address went away");
        }
        if (now - lastStatistics >= kStatisticsPeriod) {
            lastStatistics = now;
            pcap_stat stat{};
            if (pcap_stats(pcap, &stat) == 0) {
                const StatisticsRecord counts{stat.ps_recv, stat.ps_drop};
                if (!(counts == sent) && !writeRecord(counts)) return 0;
                sent = counts;
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
