#pragma once
// What the packet capture tests share: real captures over the real helper,
// connections to drive them, network namespaces of their own.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "../support/PcapTotals.h"
#include "../support/Tcpdump.h"
#include "../unit/CaptureFakes.h"
#include "../unit/Fakes.h"
#include "wire/CaptureRecord.h"
#include "capture/PacketCapture.h"
#include "capture/TrafficAccounting.h"
#include "linux/LinuxAddressList.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxPacketSource.h"
#include "monitor/AddressText.h"

#define REQUIRE_ROOT()                                                                    \
    do {                                                                                  \
        if (geteuid() != 0) {                                                             \
            GTEST_SKIP() << "needs root to capture and to make network namespaces";       \
        }                                                                                 \
    } while (false)

namespace kestrova::testing {

inline std::string helperPath() { return KESTROVA_CAPTURE_HELPER; }

// The status the helper's stream opens with (Ready once the capture is open),
// read whole however the pipe splits it; nothing when the stream ends first
// or opens with anything else.
inline std::optional<HelperStatus> firstStatus(PacketSource& source) {
    RecordBytes first{};
    for (std::size_t got = 0; got < first.size();) {
        const std::size_t count = source.read(std::span(first).subspan(got));
        if (count == 0) return std::nullopt;
        got += count;
    }
    const CaptureRecord record = decodeRecord(first);
    const auto* status = std::get_if<StatusRecord>(&record);
    return status ? std::optional(status->status) : std::nullopt;
}

// A directory of the test's own under /tmp, which others (the nobody user of
// the tests that give up root) may enter.
struct TempDir {
    std::filesystem::path path;
    TempDir() {
        char name[] = "/tmp/kestrova-capture-XXXXXX";
        path = mkdtemp(name);
        chmod(path.c_str(), 0755);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// The machine's own loopback addresses only, so that a test sees nothing of
// the traffic on the other interfaces.
class LoopbackAddresses : public AddressList {
public:
    explicit LoopbackAddresses(IpFamilies families = IpFamilies::Ipv4) : families_(families) {}
    std::optional<std::vector<LocalAddress>> query() override {
        auto all = LinuxAddressList(families_).query();
        if (!all) return all;
        std::erase_if(*all, [](const LocalAddress& a) { return !a.loopback; });
        return all;
    }

private:
    IpFamilies families_;
};

// Helper-run captures that count themselves.
class CountingSources : public PacketSourceFactory {
public:
    explicit CountingSources(std::string path) : real_(std::move(path)) {}
    std::unique_ptr<PacketSource> create() override { return std::make_unique<Counted>(*this, real_.create()); }
    std::string capturePath() const override { return real_.capturePath(); }
    CaptureAccess access() const override { return real_.access(); }
    int live() const { return live_.load(); }

private:
    class Counted : public PacketSource {
    public:
        Counted(CountingSources& owner, std::unique_ptr<PacketSource> inner) : owner_(owner), inner_(std::move(inner)) {
            ++owner_.live_;
        }
        ~Counted() override {
            inner_.reset();
            --owner_.live_;
        }
        SourceStart start(const CaptureRequest& request) override { return inner_->start(request); }
        std::size_t read(std::span<std::byte> buffer) override { return inner_->read(buffer); }
        std::optional<std::size_t> readWithin(std::span<std::byte> buffer, int timeoutMs) override {
            return inner_->readWithin(buffer, timeoutMs);
        }
        void stop() override { inner_->stop(); }
        SourceEnd finish() override { return inner_->finish(); }

    private:
        CountingSources& owner_;
        std::unique_ptr<PacketSource> inner_;
    };
    LinuxPacketSources real_;
    std::atomic<int> live_{0};
};

// Real workers and helpers feeding rows, with the test thread as the window
// thread.
struct CaptureRig {
    explicit CaptureRig(AddressList& addresses, const std::string& helper = helperPath()) : sources(helper) {
        capture = std::make_unique<PacketCapture>(
            addresses, sources, window,
            PacketCapture::Sink{[this](std::string_view line) { lines.emplace_back(line); },
                                [this](std::span<const PacketReport> reports) { accounting.account(reports, "▼"); }});
    }
    ~CaptureRig() { capture->stop(); }

    bool waitForLines(std::size_t count, std::chrono::milliseconds limit = kPatience) {
        return window.runUntil([&] { return lines.size() >= count; }, limit);
    }

    ConnectionList list;
    TrafficAccounting accounting{list};
    TestWindowThread window;
    ManualClock clock;
    CountingSources sources;
    std::vector<std::string> lines;
    std::unique_ptr<PacketCapture> capture;
};

// The calling thread lives in a named network namespace until this ends
// (in its own when the name is empty); threads and processes it starts
// meanwhile live there for good.
class InNamespace {
public:
    explicit InNamespace(const std::string& name) {
        if (name.empty()) return;  // the caller's own
        own_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        entered_ = own_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) close(target);
    }
    ~InNamespace() {
        if (entered_) setns(own_, CLONE_NEWNET);
        if (own_ >= 0) close(own_);
    }
    bool entered() const { return entered_; }

private:
    int own_ = -1;
    bool entered_ = false;
};

// The address as the rows write it.
inline std::string text(const IpAddress& address, const std::string& zone = "") { return addressText(address, zone); }

// The socket address of `address` and `port`; a link-local one on the
// interface named `scope` as this thread's network namespace numbers it.
inline socklen_t socketAddress(sockaddr_storage& out, const IpAddress& address, std::uint16_t port,
                               const std::string& scope = "") {
    out = {};
    if (address.isIpv4()) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(out);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(&v4.sin_addr, address.ipv4().data(), 4);
        return sizeof v4;
    }
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, address.bytes().data(), 16);
    if (!scope.empty()) v6.sin6_scope_id = if_nametoindex(scope.c_str());
    return sizeof v6;
}

inline std::uint16_t portOf(const sockaddr_storage& address) {
    // The port stands at the same place in both families' addresses.
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

// One established connection, its two ends open in this process.
struct TcpPair {
    int client = -1, server = -1;
    IpAddress clientAddress, serverAddress;
    std::uint16_t clientPort = 0, serverPort = 0;
    // The interface that the rows of a link-local connection name.
    std::string zone;
    // The network namespaces the two ends live in; empty for this process's own.
    std::string clientNetns, serverNetns;

    TcpPair() = default;
    TcpPair(TcpPair&& other) noexcept { *this = std::move(other); }
    TcpPair& operator=(TcpPair&& other) noexcept {
        std::swap(client, other.client);
        std::swap(server, other.server);
        clientAddress = other.clientAddress;
        serverAddress = other.serverAddress;
        clientPort = other.clientPort;
        serverPort = other.serverPort;
        zone = other.zone;
        clientNetns = other.clientNetns;
        serverNetns = other.serverNetns;
        return *this;
    }
    ~TcpPair() { closeBoth(); }
    void closeBoth() {
        if (client >= 0) close(client);
        if (server >= 0) close(server);
        client = server = -1;
    }
    bool ok() const { return client >= 0 && server >= 0; }

    // Rows for both ends, as the refresh would list them.
    void addRows(ConnectionList& list) const {
        for (bool clientSide : {true, false}) {
            std::vector<std::string> cells(kConnectionColumns);
            cells[colLocalIp] = text(clientSide ? clientAddress : serverAddress, zone);
            cells[colLocalPort] = std::to_string(clientSide ? clientPort : serverPort);
            cells[colRemoteIp] = text(clientSide ? serverAddress : clientAddress, zone);
            cells[colRemotePort] = std::to_string(clientSide ? serverPort : clientPort);
            cells[colTotalBytes] = "0";
            list.insertRow(std::move(cells));
        }
    }
    // The total that the rows of this connection hold, or "" when they differ.
    std::string total(const ConnectionList& list) const {
        std::string found;
        int rows = 0;
        for (int row = 0; row < list.rowCount(); ++row) {
            const bool clientSide = cellText(list, row, colLocalPort) == std::to_string(clientPort) &&
                                    cellText(list, row, colLocalIp) == text(clientAddress, zone);
            const bool serverSide = cellText(list, row, colLocalPort) == std::to_string(serverPort) &&
                                    cellText(list, row, colLocalIp) == text(serverAddress, zone) &&
                                    cellText(list, row, colRemotePort) == std::to_string(clientPort);
            if (!clientSide && !serverSide) continue;
            if (rows++ && cellText(list, row, colTotalBytes) != found) return "";
            found = cellText(list, row, colTotalBytes);
        }
        return found;
    }
    std::uint64_t bytesIn(const PcapTotals& pcap) const {
        return pcap.bytesBetween(clientAddress, clientPort, serverAddress, serverPort);
    }
    std::string name() const {
        return text(clientAddress, zone) + " port " + std::to_string(clientPort) + " -> " +
               text(serverAddress, zone) + " port " + std::to_string(serverPort);
    }
};

// The network namespace a socket is made in, for as long as it takes; the
// caller's own when none is named.
inline int socketIn(const std::string& netns, int family = AF_INET);

// Where each end of a connection runs: its network namespace (the caller's
// own when empty) and, for a link-local address, the interface there.
struct End {
    IpAddress address;
    std::string netns;
    std::string scope;
};

// Connects `from` to a listener on `to` (ports chosen by the kernel), each end
// made in its own namespace. A link-local connection's rows name `zone`.
inline TcpPair connectPair(const End& from, const End& to, const std::string& zone = "") {
    TcpPair pair;
    const int family = from.address.isIpv4() ? AF_INET : AF_INET6;
    const int listener = socketIn(to.netns, family);
    sockaddr_storage address;
    socklen_t length;
    {
        InNamespace there(to.netns);
        length = socketAddress(address, to.address, 0, to.scope);
    }
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return pair;
    }
    pair.client = socketIn(from.netns, family);
    sockaddr_storage local;
    socklen_t localLength;
    {
        InNamespace there(from.netns);
        localLength = socketAddress(local, from.address, 0, from.scope);
        // Connected through the client's own interface to the same address.
        socketAddress(address, to.address, portOf(address), from.scope);
    }
    if (bind(pair.client, reinterpret_cast<sockaddr*>(&local), localLength) != 0 ||
        connect(pair.client, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        close(listener);
        pair.closeBoth();
        return pair;
    }
    pair.server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    localLength = sizeof local;
    getsockname(pair.client, reinterpret_cast<sockaddr*>(&local), &localLength);
    pair.clientAddress = from.address;
    pair.clientPort = portOf(local);
    pair.serverAddress = to.address;
    pair.serverPort = portOf(address);
    pair.zone = zone;
    pair.clientNetns = from.netns;
    pair.serverNetns = to.netns;
    return pair;
}

inline TcpPair connectPair(const IpAddress& from, const IpAddress& to, const std::string& clientNamespace = "",
                           const std::string& serverNamespace = "") {
    return connectPair(End{from, clientNamespace, ""}, End{to, serverNamespace, ""});
}

// Sends `bytes` from one socket to the other, in writes of `chunk`, with a
// reply of `reply` bytes; then closes both ends.
inline void exchange(TcpPair& pair, std::size_t bytes, std::size_t chunk, std::size_t reply) {
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        std::size_t got = 0;
        while (got < bytes) {
            const ssize_t count = recv(pair.server, buffer.data(), buffer.size(), 0);
            if (count <= 0) break;
            got += static_cast<std::size_t>(count);
        }
        std::vector<char> answer(reply, 'r');
        if (reply) send(pair.server, answer.data(), answer.size(), MSG_NOSIGNAL);
    });
    const int one = 1;
    setsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<char> data(chunk, 'd');
    for (std::size_t sent = 0; sent < bytes;) {
        const ssize_t count = send(pair.client, data.data(), std::min(chunk, bytes - sent), MSG_NOSIGNAL);
        if (count <= 0) break;
        sent += static_cast<std::size_t>(count);
    }
    reader.join();
    std::vector<char> buffer(1 << 16);
    for (std::size_t got = 0; got < reply;) {
        const ssize_t count = recv(pair.client, buffer.data(), buffer.size(), 0);
        if (count <= 0) break;
        got += static_cast<std::size_t>(count);
    }
    pair.closeBoth();
}

// Whether every datagram of `pair`, which exchange() closed, has been sent:
// each of its sockets is gone or waits out TIME_WAIT, which sends nothing.
inline bool quiet(const TcpPair& pair) {
    for (const std::string& netns : {pair.clientNetns, pair.serverNetns}) {
        InNamespace there(netns);
        LinuxConnectionTable table(LinuxConnectionTable::Reader::Automatic, IpFamilies::Ipv4AndIpv6);
        std::vector<TcpRow> rows;
        if (!table.snapshot(rows)) return false;
        for (const TcpRow& row : rows) {
            const bool ours = (row.localPort == pair.clientPort && row.remotePort == pair.serverPort) ||
                              (row.localPort == pair.serverPort && row.remotePort == pair.clientPort);
            if (ours && row.state != 11) return false;  // TIME_WAIT
        }
    }
    return true;
}

// Waits until tcpdump, writing packet by packet, has written a datagram of
// `marker`, a connection made after everything it is to have seen: a capture
// writes in order, so it has written all of that too.
inline bool wroteThrough(const std::string& file, const TcpPair& marker) {
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        const auto pcap = PcapTotals::read(file);
        if (pcap && marker.bytesIn(*pcap) > 0) return true;
    }
    return false;
}

// Waits until every datagram of `pairs` has been sent, however long the
// machine takes over their last acknowledgements.
inline bool allQuiet(const std::vector<TcpPair>& pairs) {
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::all_of(pairs.begin(), pairs.end(), [](const TcpPair& pair) { return quiet(pair); })) return true;
    return false;
}

// Network namespaces made for one test, and removed after it.
class Namespaces {
public:
    explicit Namespaces(std::vector<std::string> names) : names_(std::move(names)) {
        for (const std::string& name : names_) ok_ = runCommand({"ip", "netns", "add", name}) && ok_;
    }
    ~Namespaces() {
        for (const std::string& name : names_) runCommand({"ip", "netns", "del", name});
    }
    bool ok() const { return ok_; }
    // `ip` inside namespace `name`.
    static bool ip(const std::string& name, std::vector<std::string> arguments) {
        std::vector<std::string> command = {"ip", "-n", name};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return runCommand(command);
    }

private:
    std::vector<std::string> names_;
    bool ok_ = true;
};

inline int socketIn(const std::string& netns, int family) {
    if (netns.empty()) return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    InNamespace there(netns);
    return there.entered() ? socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
}

// A name no other test run on this machine uses.
inline std::string uniqueName(const std::string& stem) { return stem + std::to_string(getpid()); }

}  // namespace kestrova::testing
