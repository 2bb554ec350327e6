// Stopping packet checking while its workers block: in a hand-off the window
// thread has not taken, in a read, or between the two; and starting and
// stopping over and over.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <thread>

#include <gtest/gtest.h>

#include "../unit/CaptureFakes.h"
#include "capture/PacketCapture.h"

namespace kestrova {
namespace {

using namespace kestrova::testing;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

int threadCount() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.') ++count;
        closedir(tasks);
    }
    return count;
}

// The test thread is the window thread: whatever the workers hand over waits
// until the test runs it.
class CaptureStop : public ::testing::Test, protected FakeCapture {
protected:

    void SetUp() override {
        addresses.set(std::vector{localAddress("lo", {127, 0, 0, 1}, true), localAddress("eth0", {10, 0, 0, 7}),
                                  localAddress("eth1", {10, 0, 1, 7})});
    }
    // How long stop() takes.
    std::chrono::milliseconds timedStop() {
        const auto start = Steady::now();
        capture->stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - start);
    }
};

TEST_F(CaptureStop, ReleasesWorkersWaitingForTheWindowThread) {
    sources.onStart = [](const CaptureRequest&, Stream& stream) {
        stream.push(StatusRecord{HelperStatus::Ready});
        for (int i = 0; i < 100; ++i) stream.push(connectionRecord({10, 0, 0, 7}, 1, {1, 1, 1, 1}, 2, 40));
    };
    capture->start();
    // Every worker waits in its first hand-off, which the window thread, busy
    // here, never takes.
    for (const auto deadline = Steady::now() + kPatience; window.sent() < 3 && Steady::now() < deadline;)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(window.sent(), 3);
    // However busy the machine, the stop does not wait for them.
    EXPECT_LT(timedStop(), kPatience);
    EXPECT_EQ(sources.live(), 0);
    // What they handed over was withdrawn and never runs.
    window.runUntil([] { return false; }, 50ms);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(reports.empty());
}

TEST_F(CaptureStop, EndsCapturesThatWaitForData) {
    sources.onStart = [](const CaptureRequest&, Stream& stream) { stream.push(StatusRecord{HelperStatus::Ready}); };
    capture->start();
    ASSERT_TRUE(window.runUntil([&] { return lines.size() == 3; }));
    EXPECT_LT(timedStop(), kPatience);
    EXPECT_EQ(sources.live(), 0);
}

TEST_F(CaptureStop, AStopFromElsewhereWaitsForWorkAlreadyRunning) {
    // A hand-off that the window thread has begun is finished, not abandoned:
    // its sender may not go while the work still reads its memory.
    std::stop_source stop;
    std::atomic<bool> returned{false};
    bool sent = false;
    std::thread sender([&] {
        sent = window.send(
            [&] {
                stop.request_stop();
                std::this_thread::sleep_for(20ms);
                EXPECT_FALSE(returned.load());
            },
            stop.get_token());
        returned = true;
    });
    ASSERT_TRUE(window.runUntil([&] { return returned.load(); }));
    sender.join();
    EXPECT_TRUE(sent);
}

TEST_F(CaptureStop, HundredStartsAndStopsLeaveNoThread) {
    // ThreadSanitizer starts a thread of its own along with the first one the
    // process starts; start and join one first, so that the count before
    // holds only what the captures must leave behind.
    std::thread([] {}).join();
    const int threadsBefore = threadCount();
    sources.onStart = [](const CaptureRequest& request, Stream& stream) {
        stream.push(StatusRecord{HelperStatus::Ready});
        if (request.interfaceName == "eth0") stream.push(connectionRecord({10, 0, 0, 7}, 1, {1, 1, 1, 1}, 2, 40));
    };
    for (int cycle = 0; cycle < 100; ++cycle) {
        capture->start();
        // Sometimes stop at once, sometimes after some hand-offs went through.
        if (cycle % 3) window.runUntil([&] { return lines.size() >= static_cast<std::size_t>(cycle % 4); }, 50ms);
        capture->stop();
        ASSERT_EQ(sources.live(), 0) << cycle;
    }
    // A joined thread may stay listed in /proc for a moment after it has
    // ended; one that was left running stays for good.
    for (const auto deadline = Steady::now() + kPatience; threadCount() != threadsBefore && Steady::now() < deadline;)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(threadCount(), threadsBefore);
}

}  // namespace
}  // namespace kestrova
