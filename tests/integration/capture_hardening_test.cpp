// The capture helper against whoever may run it: a copy that holds the
// capability, started as an ordinary user (or as root) with hostile
// arguments, descriptors and account data; what its memory holds once it
// captures; and labelled addresses captured on their device.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "CaptureRig.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A process of this test's making, in a process group of its own, with its
// standard output on a pipe.
struct Started {
    pid_t pid = -1;
    int output = -1;

    explicit Started(const std::vector<std::string>& command, bool asNobody) {
        int ends[2];
        if (pipe(ends) != 0) return;
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            dup2(ends[1], STDOUT_FILENO);
            close(ends[0]);
            close(ends[1]);
            if (asNobody && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                             setresuid(65534, 65534, 65534) != 0))
                _exit(120);
            std::vector<char*> argv;
            for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(121);
        }
        close(ends[1]);
        output = ends[0];
    }
    ~Started() {
        if (pid > 0) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (output >= 0) close(output);
    }
    // The first record, or nothing when the stream ends before one.
    std::optional<CaptureRecord> firstRecord() {
        RecordBytes bytes{};
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t count = read(output, bytes.data() + got, bytes.size() - got);
            if (count <= 0) return std::nullopt;
            got += static_cast<std::size_t>(count);
        }
        return decodeRecord(bytes);
    }
    int exitCode() {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

std::optional<HelperStatus> statusOf(const std::optional<CaptureRecord>& record) {
    if (!record) return std::nullopt;
    if (const auto* status = std::get_if<StatusRecord>(&*record)) return status->status;
    return std::nullopt;
}

// Whether the user nobody may open the process's memory.
bool nobodyReadsMemoryOf(pid_t pid) {
    return runCommand({"runuser", "-u", "nobody", "--", "sh", "-c",
                       "exec 3</proc/" + std::to_string(pid) + "/mem"});
}

class HostileInvocation : public ::testing::Test {
protected:
    TempDir scratch;
    fs::path helper = scratch.path / "kestrova-capture";

    void SetUp() override {
        REQUIRE_ROOT();
        // A copy anyone may run, holding the capability: the worst an
        // installed helper could be.
        fs::copy_file(helperPath(), helper);
        chmod(helper.c_str(), 0755);
        ASSERT_TRUE(runCommand({"setcap", "cap_net_raw=p", helper.string()}));
    }
    std::vector<std::string> shell(const std::string& line) { return {"/bin/sh", "-c", line}; }
};

struct Hostile {
    const char* name;
    std::string command;  // run by sh; $H is the helper
    bool asRoot;
    std::optional<HelperStatus> status;
    int exitCode;
};

TEST_F(HostileInvocation, FailsClosedWhateverItIsGiven) {
    std::string manyExcludes, manyIpv6Excludes;
    for (int i = 1; i <= 65; ++i) {
        manyExcludes += " --exclude 10.0.1." + std::to_string(i);
        manyIpv6Excludes += " --exclude 2001:db8::1:" + std::to_string(i);
    }
    // A passwd in which nobody is in group 0, seen only in a mount namespace
    // of the case's own.
    const fs::path passwd = scratch.path / "passwd";
    {
        std::ifstream in("/etc/passwd");
        std::ofstream out(passwd);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("nobody:", 0) == 0) line = "nobody:x:65534:0:nobody:/nonexistent:/usr/sbin/nologin";
            out << line << "\n";
        }
    }
    // A file nobody may write, for the helper's output.
    std::ofstream(scratch.path / "out").close();
    chmod((scratch.path / "out").c_str(), 0666);
    const std::vector<Hostile> cases = {
        {"too many excludes", "exec $H eth0 10.0.0.3" + manyExcludes, false, HelperStatus::BadArguments, 2},
        {"a label for a device", "exec $H lo:1 127.0.0.1", false, HelperStatus::BadArguments, 2},
        {"whole interface that is not loopback", "exec $H lo 127.0.0.2 --whole-interface", false,
         HelperStatus::NoSuchAddress, 1},
        {"too many ipv6 excludes", "exec $H eth0 2001:db8::3" + manyIpv6Excludes, false, HelperStatus::BadArguments, 2},
        {"a link-local address without its interface", "exec $H lo fe80::1", false, HelperStatus::BadArguments, 2},
        {"a link-local address of another interface", "exec $H lo fe80::1%eth0", false, HelperStatus::BadArguments,
         2},
        {"families mixed", "exec $H eth0 2001:db8::3 --exclude 10.0.0.1", false, HelperStatus::BadArguments, 2},
        {"an ipv4-mapped address", "exec $H lo ::ffff:127.0.0.1 --whole-interface", false,
         HelperStatus::BadArguments, 2},
        {"an ipv6 address not on loopback", "exec $H lo 2001:db8::99 --whole-interface", false,
         HelperStatus::NoSuchAddress, 1},
        {"closed standard output", "exec $H lo 127.0.0.1 --whole-interface >&-", false, std::nullopt, 2},
        {"standard output a file", "exec $H lo 127.0.0.1 --whole-interface >" + (scratch.path / "out").string(),
         false, std::nullopt, 2},
        {"nobody in group 0", "exec unshare --mount sh -c 'mount --bind " + passwd.string() +
                                  " /etc/passwd && exec $H lo 127.0.0.1 --whole-interface'",
         true, HelperStatus::PrivilegeDropFailed, 1},
    };
    for (const Hostile& c : cases) {
        std::string line = c.command;
        for (std::size_t at; (at = line.find("$H")) != std::string::npos;) line.replace(at, 2, helper.string());
        Started run(shell(line), !c.asRoot);
        EXPECT_EQ(statusOf(run.firstRecord()), c.status) << c.name;
        EXPECT_EQ(run.exitCode(), c.exitCode) << c.name;
    }
    std::error_code error;
    EXPECT_EQ(fs::file_size(scratch.path / "out", error), 0u);
}

TEST_F(HostileInvocation, ItsMemoryIsClosedToTheUserWhoStartedIt) {
    Started run({helper.string(), "lo", "127.0.0.1", "--whole-interface"}, true);
    // Stopped as soon as it runs the helper: inside the privileged window.
    const std::string own = "/proc/" + std::to_string(run.pid) + "/exe";
    std::error_code error;
    for (int i = 0; i < 100000 && fs::read_symlink(own, error) != helper; ++i) {
    }
    kill(run.pid, SIGSTOP);
    EXPECT_FALSE(nobodyReadsMemoryOf(run.pid));
    kill(run.pid, SIGCONT);
    EXPECT_EQ(statusOf(run.firstRecord()), HelperStatus::Ready);
    EXPECT_FALSE(nobodyReadsMemoryOf(run.pid));
    // And it runs on with nothing: no capability in any set.
    std::ifstream status("/proc/" + std::to_string(run.pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapPrm:", 0) == 0 || line.rfind("CapEff:", 0) == 0 || line.rfind("CapAmb:", 0) == 0) {
            EXPECT_EQ(line.substr(line.find_first_not_of(" \t", 7)), "0000000000000000") << line;
        }
    }
}

// Every occurrence of `needle` in the readable memory of a process.
std::size_t copiesInMemory(pid_t pid, const std::string& needle, std::size_t* scanned) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::ifstream memory("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
    std::size_t copies = 0;
    *scanned = 0;
    for (std::string line; std::getline(maps, line);) {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        if (permissions.empty() || permissions[0] != 'r') continue;
        const std::size_t dash = range.find('-');
        const std::uint64_t begin = std::stoull(range.substr(0, dash), nullptr, 16);
        const std::uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        // The kernel's own pages, and a sanitizer's shadow, which spans
        // terabytes: the capture's buffer is 8 MiB.
        if (line.find("[vvar]") != std::string::npos || end - begin > (1ull << 30)) {
            continue;
        }
        // Read in pieces that overlap by the needle's length.
        std::string bytes;
        for (std::uint64_t at = begin; at < end;) {
            const std::uint64_t piece = std::min<std::uint64_t>(end - at, 1 << 20);
            const std::size_t kept = std::min(bytes.size(), needle.size() - 1);
            bytes.erase(0, bytes.size() - kept);
            const std::size_t old = bytes.size();
            bytes.resize(old + piece);
            memory.clear();
            memory.seekg(static_cast<std::streamoff>(at));
            memory.read(bytes.data() + old, static_cast<std::streamsize>(piece));
            if (memory.gcount() <= 0) break;
            bytes.resize(old + static_cast<std::size_t>(memory.gcount()));
            *scanned += static_cast<std::size_t>(memory.gcount());
            for (std::size_t found = 0; (found = bytes.find(needle, found)) != std::string::npos; ++found) ++copies;
            at += static_cast<std::uint64_t>(memory.gcount());
        }
    }
    return copies;
}

// Reads records from `source` until one counts a datagram to or from `port`;
// false when the capture ends first or none comes in time.
bool reportsPort(LinuxPacketSource& source, std::uint16_t port) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!finished.wait_for(lock, kPatience, [&] { return done; })) source.stop();
    });
    bool seen = false;
    RecordBytes record{};
    for (std::size_t held = 0; !seen;) {
        const std::size_t count = source.read(std::span(record).subspan(held));
        if (count == 0) break;
        held += count;
        if (held < record.size()) continue;
        held = 0;
        const CaptureRecord decoded = decodeRecord(record);
        if (const auto* connection = std::get_if<ConnectionRecord>(&decoded))
            seen = connection->sourcePort == port || connection->destinationPort == port;
    }
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    finished.notify_all();
    watchdog.join();
    return seen;
}

class CaptureMemory : public ::testing::TestWithParam<bool> {};

// Over 127.0.0.1, and over ::1 with loopback's IPv6 capture.
TEST_P(CaptureMemory, NoPayloadByteReachesTheHelper) {
    REQUIRE_ROOT();
    const IpAddress loopback = GetParam() ? ipv6("::1") : IpAddress(127, 0, 0, 1);
    LinuxPacketSource source(helperPath());
    ASSERT_EQ(source.start(CaptureRequest{"lo", loopback, true, {}}).outcome, SourceStart::Outcome::Started);
    ASSERT_EQ(firstStatus(source), HelperStatus::Ready);

    // The marker starts right after the TCP header, where the old snapshot
    // length still let ninety bytes in; built here, never as one literal.
    std::string marker = "kestrova";
    marker += "-payload-marker-" + std::to_string(getpid());
    TcpPair pair = connectPair(loopback, loopback);
    ASSERT_TRUE(pair.ok());
    const std::uint16_t ports[2] = {htons(pair.clientPort), htons(pair.serverPort)};
    const std::string header(reinterpret_cast<const char*>(ports), sizeof ports);
    const int one = 1;
    setsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(send(pair.client, marker.data(), marker.size(), 0), static_cast<ssize_t>(marker.size()));
        char buffer[256];
        ASSERT_GT(recv(pair.server, buffer, sizeof buffer, 0), 0);
    }
    // A connection made after them: once the helper reports it, it has read
    // every segment before it.
    const TcpPair after = connectPair(loopback, loopback);
    ASSERT_TRUE(after.ok());
    ASSERT_TRUE(reportsPort(source, after.clientPort));

    std::size_t scanned = 0;
    EXPECT_EQ(copiesInMemory(source.helperPid(), marker, &scanned), 0u);
    // The scan did see the capture's buffer: the headers of those segments
    // are there.
    EXPECT_GT(copiesInMemory(source.helperPid(), header, &scanned), 0u);
    EXPECT_GT(scanned, 8u << 20);
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, CaptureMemory, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Ipv6" : "Ipv4"; });

TEST(CaptureOfLabels, ALabelledAddressIsCapturedOnItsDevice) {
    REQUIRE_ROOT();
    const std::string inside = uniqueName("klaba"), outside = uniqueName("klabb");
    const std::string link = uniqueName("kla"), peer = uniqueName("klb");
    Namespaces namespaces({inside, outside});
    ASSERT_TRUE(namespaces.ok());
    ASSERT_TRUE(Namespaces::ip(inside, {"link", "add", link, "type", "veth", "peer", "name", peer, "netns", outside}));
    ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "10.78.0.1/24", "dev", link}));
    ASSERT_TRUE(Namespaces::ip(inside, {"addr", "add", "10.78.0.5/24", "dev", link, "label", link + ":1"}));
    ASSERT_TRUE(Namespaces::ip(outside, {"addr", "add", "10.78.0.2/24", "dev", peer}));
    for (const auto& [ns, device] : {std::pair{inside, link}, std::pair{outside, peer}})
        ASSERT_TRUE(Namespaces::ip(ns, {"link", "set", device, "up"}));

    InNamespace entered(inside);
    ASSERT_TRUE(entered.entered());
    LinuxAddressList addresses;
    const auto list = addresses.query();
    ASSERT_TRUE(list.has_value());
    const std::vector<LocalAddress> expected = {{link, {10, 78, 0, 1}, false}, {link, {10, 78, 0, 5}, false}};
    EXPECT_EQ(*list, expected);
    CaptureRig rig(addresses);
    rig.capture->start();
    ASSERT_TRUE(rig.waitForLines(2));
    std::sort(rig.lines.begin(), rig.lines.end());
    EXPECT_EQ(rig.lines, (std::vector<std::string>{"10.78.0.1を通るパケットをチェックします。",
                                                   "10.78.0.5を通るパケットをチェックします。"}));
    TcpPair pair = connectPair({10, 78, 0, 2}, {10, 78, 0, 5}, outside, "");
    ASSERT_TRUE(pair.ok());
    pair.addRows(rig.list);
    exchange(pair, 10000, 1000, 0);
    // Eleven data segments at least, each with a 52-byte header, and the
    // handshake and close.
    EXPECT_TRUE(rig.window.runUntil(
        [&] { return !pair.total(rig.list).empty() && std::stoull(pair.total(rig.list)) > 10000 + 11 * 52; }, kPatience))
        << pair.total(rig.list);
}

}  // namespace
}  // namespace kestrova
