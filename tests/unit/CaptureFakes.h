#pragma once
// Fakes for the capture workers: an address list, captures whose record
// streams the test writes, and a window thread that the test thread drives.
#include <arpa/inet.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "../support/Patience.h"
#include "Fakes.h"
#include "wire/CaptureRecord.h"
#include "capture/PacketCapture.h"
#include "platform/AddressList.h"
#include "platform/PacketSource.h"
#include "monitor/SendQueue.h"

namespace kestrova::testing {

// An IPv6 address from its text; :: for a text that is none.
inline IpAddress ipv6(const char* text) {
    IpAddress::Ipv6Bytes bytes{};
    inet_pton(AF_INET6, text, bytes.data());
    return IpAddress::fromIpv6(bytes);
}

inline LocalAddress localAddress(std::string interfaceName, IpAddress address, bool loopback = false) {
    return {std::move(interfaceName), address, loopback};
}

class FakeAddressList : public AddressList {
public:
    void set(std::optional<std::vector<LocalAddress>> addresses) {
        std::lock_guard lock(mutex_);
        addresses_ = std::move(addresses);
    }
    std::optional<std::vector<LocalAddress>> query() override {
        std::lock_guard lock(mutex_);
        return addresses_;
    }
    // Tells every watch that the addresses changed.
    void changed() {
        std::lock_guard lock(mutex_);
        ++changes_;
        changed_.notify_all();
    }
    std::unique_ptr<AddressWatch> watch() override { return std::make_unique<Watch>(*this); }

private:
    class Watch : public AddressWatch {
    public:
        explicit Watch(FakeAddressList& list) : list_(list) {
            std::lock_guard lock(list_.mutex_);
            seen_ = list_.changes_;
        }
        bool wait(std::stop_token stop) override {
            std::unique_lock lock(list_.mutex_);
            if (!list_.changed_.wait(lock, stop, [&] { return list_.changes_ != seen_; })) return false;
            seen_ = list_.changes_;
            return true;
        }

    private:
        FakeAddressList& list_;
        std::uint64_t seen_ = 0;
    };

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::uint64_t changes_ = 0;
    std::optional<std::vector<LocalAddress>> addresses_ = std::vector<LocalAddress>{};
};

template <class Record>
std::vector<std::byte> recordBytes(const Record& record) {
    const RecordBytes bytes = encodeRecord(record);
    return {bytes.begin(), bytes.end()};
}

// A record of the family of `source`.
inline ConnectionRecord connectionRecord(IpAddress source, std::uint16_t sourcePort, IpAddress destination,
                                         std::uint16_t destinationPort, std::uint64_t bytes) {
    ConnectionRecord record;
    record.family = source.isIpv4() ? RecordFamily::Ipv4 : RecordFamily::Ipv6;
    for (const auto& [address, field] : {std::pair{source, &record.source}, std::pair{destination, &record.destination}}) {
        if (address.isIpv4())
            std::copy_n(address.ipv4().begin(), 4, field->begin());
        else
            *field = address.bytes();
    }
    record.sourcePort = sourcePort;
    record.destinationPort = destinationPort;
    record.bytes = bytes;
    return record;
}

// The record stream of one capture, written by the test, read by a worker.
class Stream {
public:
    void push(std::vector<std::byte> bytes) {
        std::lock_guard lock(mutex_);
        chunks_.push_back(std::move(bytes));
        changed_.notify_all();
    }
    template <class Record>
    void push(const Record& record) {
        push(recordBytes(record));
    }
    void end() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }
    bool stopped() const {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    // Blocks like a pipe: the next chunk (or as much of it as fits), or 0 at
    // the end or once stopped.
    std::size_t read(std::span<std::byte> buffer) { return *readWithin(buffer, -1); }
    // The same, giving up after `timeoutMs` (-1: never) without news.
    std::optional<std::size_t> readWithin(std::span<std::byte> buffer, int timeoutMs) {
        std::unique_lock lock(mutex_);
        auto news = [&] { return stopped_ || !chunks_.empty() || ended_; };
        if (timeoutMs < 0)
            changed_.wait(lock, news);
        else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), news))
            return std::nullopt;
        if (stopped_ || chunks_.empty()) return 0;
        std::vector<std::byte>& chunk = chunks_.front();
        const std::size_t count = std::min(buffer.size(), chunk.size());
        std::copy_n(chunk.begin(), count, buffer.begin());
        chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (chunk.empty()) chunks_.pop_front();
        return count;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::byte>> chunks_;
    bool ended_ = false;
    bool stopped_ = false;
};

// Captures whose streams the test scripts: `onStart` gets each request and
// its stream as a worker starts it.
class FakeSources : public PacketSourceFactory {
public:
    std::function<void(const CaptureRequest&, Stream&)> onStart;
    SourceStart startResult;
    // How the program ended once its stream has.
    SourceEnd endResult{SourceEnd::Kind::Exited, 1};
    CaptureAccess accessResult{"kestrova", "alice",
                               "sudo setcap cap_net_raw=p /usr/libexec/kestrova/kestrova-capture"};

    bool mayCaptureAtAll = true;

    std::unique_ptr<PacketSource> create() override { return std::make_unique<Source>(*this); }
    std::string capturePath() const override { return "/usr/libexec/kestrova/kestrova-capture"; }
    CaptureAccess access() const override { return accessResult; }
    bool mayCapture() const override { return mayCaptureAtAll; }

    std::vector<CaptureRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int live() const {
        std::lock_guard lock(mutex_);
        return live_;
    }

private:
    class Source : public PacketSource {
    public:
        explicit Source(FakeSources& owner) : owner_(owner) {
            std::lock_guard lock(owner_.mutex_);
            ++owner_.live_;
        }
        ~Source() override {
            std::lock_guard lock(owner_.mutex_);
            --owner_.live_;
        }
        SourceStart start(const CaptureRequest& request) override {
            {
                std::lock_guard lock(owner_.mutex_);
                owner_.requests_.push_back(request);
            }
            if (owner_.startResult.outcome != SourceStart::Outcome::Started) return owner_.startResult;
            if (owner_.onStart) owner_.onStart(request, stream_);
            return {};
        }
        std::size_t read(std::span<std::byte> buffer) override { return stream_.read(buffer); }
        std::optional<std::size_t> readWithin(std::span<std::byte> buffer, int timeoutMs) override {
            return stream_.readWithin(buffer, timeoutMs);
        }
        void stop() override { stream_.stop(); }
        SourceEnd finish() override { return owner_.endResult; }

    private:
        FakeSources& owner_;
        Stream stream_;
    };

    mutable std::mutex mutex_;
    std::vector<CaptureRequest> requests_;
    int live_ = 0;
};

// A window thread that is the test's own thread: workers' hand-offs wait
// until the test runs them with runUntil.
class TestWindowThread : public WindowThread {
public:
    bool send(std::function<void()> work) override { return queue_.send(std::move(work)); }
    bool send(std::function<void()> work, std::stop_token stop) override {
        return queue_.send(std::move(work), std::move(stop));
    }
    // Runs hand-offs as they come until `done` holds; false on timeout.
    // Looks at `done` every few milliseconds too, for conditions that no
    // hand-off announces (a worker that ended).
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (true) {
            queue_.runPending();
            if (done()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(2), [&] { return woken_; });
            woken_ = false;
        }
    }
    void close() { queue_.close(); }
    // How many hand-offs have been sent so far, taken or not.
    int sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    int sent_ = 0;
    SendQueue queue_{[this] {
        std::lock_guard lock(mutex_);
        woken_ = true;
        ++sent_;
        wake_.notify_all();
    }};
};

// Packet checking over scripted captures, with the test thread standing in
// for the window thread; what reaches the window is kept.
struct FakeCapture {
    FakeAddressList addresses;
    FakeSources sources;
    TestWindowThread window;
    ManualClock clock;
    std::vector<std::string> lines;
    std::vector<PacketReport> reports;
    std::unique_ptr<PacketCapture> capture = std::make_unique<PacketCapture>(
        addresses, sources, window,
        PacketCapture::Sink{[this](std::string_view line) { lines.emplace_back(line); },
                            [this](std::span<const PacketReport> batch) {
                                reports.insert(reports.end(), batch.begin(), batch.end());
                            }});
};

// A parameterised test's name from a description.
inline std::string testName(std::string description) {
    for (char& c : description)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return description;
}

}  // namespace kestrova::testing
