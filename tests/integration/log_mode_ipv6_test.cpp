// kestrova --log with and without -6, side by side on the same connections in
// a network namespace of the test's own (so no other program's sockets come
// and go), each in a mount namespace whose /etc/hosts is a file of the
// test's own: the IPv4 lines must be byte for byte the same, the IPv6 ones
// exact, and host names found for IPv6 addresses as for IPv4 ones.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::kPatience;
using testing::Subprocess;

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::string ipCommand() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(path, X_OK) == 0) return path;
    return {};
}

// A network namespace of this test, its loopback up; gone with the object.
class OwnNetworkNamespace {
public:
    explicit OwnNetworkNamespace(std::string name) : name_(std::move(name)) {
        const std::string ip = ipCommand();
        if (ip.empty() || std::system((ip + " netns add " + name_ + " && " + ip + " -n " + name_ +
                                       " link set lo up").c_str()) != 0)
            return;
        fd_ = Fd(open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
    }
    ~OwnNetworkNamespace() { (void)std::system((ipCommand() + " netns del " + name_ + " 2>/dev/null").c_str()); }
    bool ready() const { return fd_.fd >= 0; }
    const std::string& name() const { return name_; }

    // Runs `make` with this thread inside the namespace, so the sockets it
    // opens live there, and comes back.
    template <typename Make>
    bool inside(Make make) const {
        Fd home(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
        if (home.fd < 0 || setns(fd_.fd, CLONE_NEWNET) != 0) return false;
        make();
        return setns(home.fd, CLONE_NEWNET) == 0;
    }

private:
    std::string name_;
    Fd fd_;
};

std::uint16_t portOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

// The socket address of `address` (4 or 16 bytes, by `family`) and `port`.
socklen_t socketAddress(sockaddr_storage& storage, int family, const void* address, std::uint16_t port) {
    storage = {};
    if (family == AF_INET6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        std::memcpy(&a.sin6_addr, address, 16);
        return sizeof a;
    }
    auto& a = reinterpret_cast<sockaddr_in&>(storage);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr, address, 4);
    return sizeof a;
}

// A listener and one connection to it from a client of `clientFamily`; an
// IPv6 listener takes IPv4 clients too.
struct Pair {
    Fd listener, client, accepted;
    std::string serverPort, clientPort;
};

Pair openPair(int family, const void* address, int clientFamily, const void* clientAddress) {
    Pair pair;
    pair.listener = Fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int off = 0;
    if (family == AF_INET6) setsockopt(pair.listener.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_storage storage;
    socklen_t length = socketAddress(storage, family, address, 0);
    EXPECT_EQ(bind(pair.listener.fd, reinterpret_cast<sockaddr*>(&storage), length), 0);
    EXPECT_EQ(listen(pair.listener.fd, 4), 0);
    const std::uint16_t port = portOf(pair.listener.fd);
    length = socketAddress(storage, clientFamily, clientAddress, port);
    pair.client = Fd(socket(clientFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(connect(pair.client.fd, reinterpret_cast<sockaddr*>(&storage), length), 0);
    pair.accepted = Fd(accept4(pair.listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
    pair.serverPort = std::to_string(port);
    pair.clientPort = std::to_string(portOf(pair.client.fd));
    return pair;
}

// The text of each line, without its time stamp.
std::vector<std::string> texts(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines) out.push_back(line.substr(line.find('\t') + 1));
    return out;
}

std::vector<std::string> first(std::vector<std::string> lines, std::size_t count) {
    lines.resize(std::min(lines.size(), count));
    return lines;
}

bool has(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

class LogModeIpv6Test : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(directory); }
    fs::path directory = fs::temp_directory_path() / ("kestrova-log6-" + std::to_string(getpid()));
};

TEST_F(LogModeIpv6Test, Ipv4LinesStayTheSameAndIpv6RowsGetTheirOwnLinesAndNames) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network and a mount namespace";
    OwnNetworkNamespace ns("kestrova-log6-" + std::to_string(getpid()));
    if (!ns.ready()) GTEST_SKIP() << "no network namespace of our own here";

    // Both runs read the same profile, host names on, and the same hosts file.
    fs::create_directories(directory);
    std::ofstream(directory / "kestrova.INI", std::ios::binary) << "[1040315]\r\nshowHostname=1040315\r\n";
    std::ofstream(directory / "hosts") << "127.0.0.1 v4-loopback.example\n::1 v6-loopback.example\n";
    std::ofstream(directory / "nsswitch.conf") << "hosts: files\n";

    const in_addr loopback4{htonl(INADDR_LOOPBACK)};
    Pair v4, v6, dual;
    ASSERT_TRUE(ns.inside([&] {
        v4 = openPair(AF_INET, &loopback4, AF_INET, &loopback4);
        v6 = openPair(AF_INET6, &in6addr_loopback, AF_INET6, &in6addr_loopback);
        dual = openPair(AF_INET6, &in6addr_any, AF_INET, &loopback4);
    }));

    auto environment = testing::withoutDisplay();
    environment["XDG_CONFIG_HOME"] = directory.string();
    auto run = [&](std::vector<std::string> options) {
        std::vector<std::string> arguments{ipCommand(), "netns", "exec", ns.name(), "unshare", "--mount", "sh", "-c",
                                           "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/nsswitch.conf "
                                           "&& shift 2 && exec \"$@\"",
                                           "sh", (directory / "hosts").string(), (directory / "nsswitch.conf").string(),
                                           KESTROVA_BINARY, "--log", "--interval", "100"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return std::make_unique<Subprocess>(arguments, testing::environmentWith(environment));
    };
    const auto plain = run({});
    const auto withIpv6 = run({"-6"});
    ASSERT_TRUE(plain->started() && withIpv6->started());

    // The first tick lists every connection, a process line and an added
    // line for each; nothing changes afterwards until the first host name
    // pass, 10 s on. Five rows are IPv4 ones (the v4 pair with its listener,
    // the dual pair), four more IPv6 ones (the v6 pair with its listener, the
    // dual listener).
    // On a busy machine the first pass may have come by the time they are read.
    const std::size_t plainCount = 2 * 5, ipv6Count = 2 * (5 + 4);
    ASSERT_TRUE(plain->waitForLines(plainCount)) << plain->standardError();
    ASSERT_TRUE(withIpv6->waitForLines(ipv6Count)) << withIpv6->standardError();
    const std::vector<std::string> plainLines = first(texts(plain->lines()), plainCount);
    const std::vector<std::string> ipv6Lines = first(texts(withIpv6->lines()), ipv6Count);
    ASSERT_FALSE(plainLines.empty()) << plain->standardError();

    const std::string path = fs::read_symlink("/proc/self/exe").string();
    auto added = [&path](const std::string& destination, const char* state) {
        return "(" + path + ")の(" + destination + ")との接続状態を(" + state + ")で新規追加しました。";
    };
    // The IPv6 rows' lines, each after the process line of its new row.
    const std::vector<std::string> ipv6Only = {
        added("[::]:0", "LISTEN"),  // [::1]
        added("[::]:0", "LISTEN"),  // [::]
        added("[::1]:" + v6.serverPort, "ESTABLISHED"),
        added("[::1]:" + v6.clientPort, "ESTABLISHED"),
    };
    std::vector<std::string> filtered, removed;
    for (const std::string& line : ipv6Lines) {
        if (line.find(")の([") != std::string::npos) {
            removed.push_back(line);
            ASSERT_FALSE(filtered.empty());
            ASSERT_EQ(filtered.back().rfind("プロセスID:(", 0), 0u) << "no process line before " << line;
            filtered.pop_back();
        } else {
            filtered.push_back(line);
        }
    }
    EXPECT_EQ(filtered, plainLines) << "the IPv4 lines differ with -6";
    std::sort(removed.begin(), removed.end());
    std::vector<std::string> expected = ipv6Only;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(removed, expected);
    // The IPv4 connection of the [::] listener, in both runs.
    EXPECT_TRUE(has(plainLines, added("127.0.0.1:" + dual.clientPort, "ESTABLISHED")));
    EXPECT_TRUE(has(plainLines, added("127.0.0.1:" + v4.serverPort, "ESTABLISHED")));

    // Names: the pass finds both loopback names with -6, the IPv4 one only
    // without it, and an IPv6 row then names its peer as name:port.
    const std::string v6Name = "IP:(::1)→ホスト名:(v6-loopback.example)";
    const std::string v4Name = "IP:(127.0.0.1)→ホスト名:(v4-loopback.example)";
    auto ends = [](const std::string& text) {
        return [text](const std::string& line) { return line.size() >= text.size() && line.ends_with(text); };
    };
    // Lines read while waiting for earlier ones count too.
    auto saw = [](Subprocess& run, const auto& wanted) {
        return std::any_of(run.lines().begin(), run.lines().end(), wanted) ||
               run.waitForLine(wanted, kPatience).has_value();
    };
    ASSERT_TRUE(saw(*withIpv6, ends(v6Name))) << withIpv6->standardError();
    ASSERT_TRUE(saw(*plain, ends("ホスト名逆引き処理終了")));
    EXPECT_TRUE(has(texts(plain->lines()), v4Name));
    EXPECT_TRUE(saw(*withIpv6, ends(v4Name)));
    for (const std::string& line : texts(plain->lines())) EXPECT_EQ(line.find("::"), std::string::npos) << line;

    // A tick after the names came shows them in the rows: the one that logs
    // a connection made now.
    Pair probe;
    ASSERT_TRUE(ns.inside([&] { probe = openPair(AF_INET6, &in6addr_loopback, AF_INET6, &in6addr_loopback); }));
    ASSERT_TRUE(withIpv6->waitForLine(ends("との接続状態を(LISTEN)で新規追加しました。"), kPatience));
    const linger reset{1, 0};
    setsockopt(v6.client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    v6.client = Fd();
    EXPECT_TRUE(withIpv6->waitForLine(
        ends("(" + path + ")の(v6-loopback.example:" + v6.serverPort + ")との接続状態を破棄しました。"), kPatience));
}

}  // namespace
}  // namespace kestrova
