// kestrova-capture: opens one packet capture for Kestrova and writes what it
// sees as fixed-size records to standard output.
//
// This is the only part of Kestrova that ever holds CAP_NET_RAW (as a file
// capability, or by being started by root). It uses the right once, to open
// the capture, and gives up every privilege before it reads a single packet.
// Its output carries addresses, ports, sizes and times of TCP datagrams to or
// from the machine's own addresses, never any payload.
#include <grp.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/CaptureRecord.h"
#include "capture/Datagram.h"
#include "helper/HelperOptions.h"

namespace {

using namespace kestrova;
using namespace kestrova::helper;
using SteadyClock = std::chrono::steady_clock;

// Big enough that a burst on loopback does not overflow it while the reader
// is busy; the capture library's 2 MiB default does.
constexpr int kRingBytes = 8 << 20;
// Captured frames are handed over at least this often, so that totals move
// while a connection is quiet.
constexpr int kDeliveryMs = 20;
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

// Whether `name` exists, holds `address`, and is a loopback interface.
struct InterfaceCheck {
    bool holdsAddress = false;
    bool loopback = false;
};

InterfaceCheck checkInterface(const std::string& name, const Ipv4& address) {
    InterfaceCheck check;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return check;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name || name != entry->ifa_name) continue;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in inet;
        std::memcpy(&inet, entry->ifa_addr, sizeof inet);
        if (std::memcmp(&inet.sin_addr, address.data(), 4) != 0) continue;
        check.holdsAddress = true;
        check.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
    }
    freeifaddrs(list);
    return check;
}

// Gives up everything the process may hold: root becomes nobody, and every
// capability set is emptied. Fails closed: the caller must not go on unless
// this returns true.
bool dropPrivileges() {
    uid_t realUid, effectiveUid, savedUid;
    gid_t realGid, effectiveGid, savedGid;
    if (getresuid(&realUid, &effectiveUid, &savedUid) != 0 || getresgid(&realGid, &effectiveGid, &savedGid) != 0)
        return false;
    if (realUid == 0 || effectiveUid == 0 || savedUid == 0) {
        uid_t uid = 65534;
        gid_t gid = 65534;
        if (const passwd* nobody = getpwnam("nobody")) {
            uid = nobody->pw_uid;
            gid = nobody->pw_gid;
        }
        for (cap_value_t cap = 0; cap <= CAP_LAST_CAP; ++cap) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0)
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
    if (getresuid(&realUid, &effectiveUid, &savedUid) != 0) return false;
    return realUid != 0 && effectiveUid != 0 && savedUid != 0;
}

// Records of captured frames, written out when full and after each read.
struct Output {
    int linkType = 0;
    std::vector<std::byte> buffer;
    bool failed = false;

    void add(const DatagramRecord& record) {
        const RecordBytes bytes = encodeRecord(record);
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        if (buffer.size() >= 2048 * kCaptureRecordSize) flush();
    }
    void flush() {
        if (!buffer.empty() && !writeAll(buffer.data(), buffer.size())) failed = true;
        buffer.clear();
    }
};

void onFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    auto* output = reinterpret_cast<Output*>(user);
    const auto datagram =
        parseFrame(output->linkType, std::span<const std::uint8_t>(bytes, header->caplen), header->len);
    if (!datagram) return;
    output->add(DatagramRecord{*datagram, static_cast<std::int64_t>(header->ts.tv_sec),
                               static_cast<std::uint32_t>(header->ts.tv_usec)});
}

int capture(const HelperOptions& options) {
    const InterfaceCheck interface = checkInterface(options.interfaceName, options.address);
    if (!interface.holdsAddress) return fail(HelperStatus::NoSuchAddress, "the address is not on the interface");
    // All of an interface is taken only where all of it is the machine's own.
    if (options.wholeInterface && !interface.loopback)
        return fail(HelperStatus::BadArguments, "--whole-interface needs a loopback interface");

    char error[PCAP_ERRBUF_SIZE] = "";
    const std::unique_ptr<pcap_t, void (*)(pcap_t*)> handle(pcap_create(options.interfaceName.c_str(), error),
                                                            pcap_close);
    pcap_t* const pcap = handle.get();
    if (!pcap) return fail(HelperStatus::OpenFailed, "cannot create the capture", error);
    pcap_set_snaplen(pcap, kSnapshotLength);
    pcap_set_promisc(pcap, 0);
    pcap_set_timeout(pcap, kDeliveryMs);
    pcap_set_buffer_size(pcap, kRingBytes);
    const int activated = pcap_activate(pcap);
    if (activated == PCAP_ERROR_PERM_DENIED)
        return fail(HelperStatus::PermissionDenied, "no permission to capture", pcap_geterr(pcap));
    if (activated == PCAP_ERROR_NO_SUCH_DEVICE || activated == PCAP_ERROR_IFACE_NOT_UP)
        return fail(HelperStatus::NoSuchAddress, "the interface is gone or down", pcap_geterr(pcap));
    if (activated < 0) return fail(HelperStatus::OpenFailed, "cannot open the capture", pcap_geterr(pcap));

    Output output;
    output.linkType = pcap_datalink(pcap);
    if (!linkTypeSupported(output.linkType)) return fail(HelperStatus::OpenFailed, "unsupported link type");
    bpf_program program;
    const std::string filter = captureFilter(options);
    if (pcap_compile(pcap, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0)
        return fail(HelperStatus::OpenFailed, "cannot compile the filter", pcap_geterr(pcap));
    const int filtered = pcap_setfilter(pcap, &program);
    pcap_freecode(&program);
    if (filtered != 0) return fail(HelperStatus::OpenFailed, "cannot set the filter", pcap_geterr(pcap));
    if (pcap_setnonblock(pcap, 1, error) != 0) return fail(HelperStatus::OpenFailed, "cannot poll", error);
    const int captureFd = pcap_get_selectable_fd(pcap);
    if (captureFd < 0) return fail(HelperStatus::OpenFailed, "no descriptor to poll");

    // The capture is open: nothing from here on needs any privilege.
    if (!dropPrivileges()) return fail(HelperStatus::PrivilegeDropFailed, "cannot give up privileges");
    if (!writeRecord(StatusRecord{HelperStatus::Ready})) return 1;

    StatisticsRecord sent;
    auto lastStatistics = SteadyClock::now();
    auto lastAddressCheck = SteadyClock::now();
    int errors = 0;
    output.buffer.reserve(2048 * kCaptureRecordSize);
    while (true) {
        // Standard output in the set, asking for nothing: a reader that went
        // away shows as an error on it, even when no packet comes to write.
        pollfd fds[2] = {{captureFd, POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
        if (poll(fds, 2, 250) < 0 && errno != EINTR) return 1;
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) return 0;

        const int handled = pcap_dispatch(pcap, -1, onFrame, reinterpret_cast<u_char*>(&output));
        output.flush();
        if (output.failed) return 0;

        const auto now = SteadyClock::now();
        // An error the capture's descriptor keeps reporting would wake the
        // poll at once, again and again; it counts as a failing read.
        const bool faulted = (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
        if (handled < 0 || faulted) {
            // A failing read is tried again after a pause, and not for ever.
            if (!checkInterface(options.interfaceName, options.address).holdsAddress || ++errors > kErrorRetries)
                return 1;
            std::this_thread::sleep_for(kErrorPause);
            continue;
        }
        errors = 0;
        if (now - lastAddressCheck >= kAddressCheck) {
            lastAddressCheck = now;
            if (!checkInterface(options.interfaceName, options.address).holdsAddress) return 0;
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
    // No program this one might start can gain a privilege by it.
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto options = parseHelperOptions(arguments);
    if (!options) {
        std::fputs("usage: kestrova-capture INTERFACE ADDRESS [--whole-interface] [--exclude ADDRESS]...\n"
                   "Started by Kestrova; writes binary capture records to standard output.\n",
                   stderr);
        writeRecord(StatusRecord{HelperStatus::BadArguments});
        return 2;
    }
    return capture(*options);
}
