#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "../support/Patience.h"
#include "json/JsonLines.h"
#include "linux/OutputQueue.h"
#include "monitor/ConnectionList.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using kestrova::testing::kPatience;

// A pipe whose read end the test drains on a thread of its own, as a reader
// of `kestrova --log | ...` would; it can be held (the reader stalls) and let
// go again.
class Reader {
public:
    // `nonBlocking`: the write end does not block, as some supervisors hand
    // out standard output.
    explicit Reader(bool nonBlocking = false, int pipeSize = 4096) {
        EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
        fcntl(fds_[1], F_SETPIPE_SZ, pipeSize);  // by default full after a few lines
        if (nonBlocking) fcntl(fds_[1], F_SETFL, fcntl(fds_[1], F_GETFL) | O_NONBLOCK);
    }
    ~Reader() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        release();
        if (thread_.joinable()) thread_.join();
        closeReadEnd();
    }
    int writeEnd() const { return fds_[1]; }

    void start(bool held = false) {
        held_ = held;
        thread_ = std::thread([this] {
            char chunk[65536];
            for (;;) {
                while (held_) std::this_thread::sleep_for(1ms);
                const ssize_t n = ::read(fds_[0], chunk, sizeof chunk);
                if (n <= 0) return;  // the write end went
                received_.append(chunk, static_cast<std::size_t>(n));
                receivedBytes_ += static_cast<std::size_t>(n);
            }
        });
    }
    void release() { held_ = false; }
    void hold() { held_ = true; }
    // Bytes read so far.
    std::size_t received() const { return receivedBytes_.load(); }
    // Ends the reader once the writer's end is closed and everything read.
    std::string finish() {
        ::close(fds_[1]);
        fds_[1] = -1;
        release();
        thread_.join();
        return received_;
    }
    void closeReadEnd() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }

private:
    int fds_[2] = {-1, -1};
    std::atomic<bool> held_{false};
    std::atomic<std::size_t> receivedBytes_{0};
    std::thread thread_;
    std::string received_;
};

std::string line(int i) { return "line " + std::to_string(i) + " of the log\n"; }

TEST(OutputQueueTest, EveryPieceArrivesWholeAndInOrderThroughAReaderThatStalls) {
    Reader reader;
    reader.start(/*held=*/true);
    std::string expected;
    {
        OutputQueue output(reader.writeEnd());
        for (int i = 0; i < 20000; ++i) {
            expected += line(i);
            ASSERT_TRUE(output.write(line(i)));
            if (i == 5000) reader.release();  // the queue took everything meanwhile
        }
        EXPECT_TRUE(output.flush());
    }
    EXPECT_EQ(reader.finish(), expected);
}

// A descriptor that does not block is waited on, not given up on.
TEST(OutputQueueTest, ANonBlockingDescriptorIsWaitedOnWhenFull) {
    Reader reader(/*nonBlocking=*/true);
    reader.start(/*held=*/true);
    std::string expected;
    {
        OutputQueue output(reader.writeEnd());
        for (int i = 0; i < 2000; ++i) {
            expected += line(i);
            ASSERT_TRUE(output.write(line(i)));
        }
        std::this_thread::sleep_for(50ms);  // the pipe is full meanwhile
        reader.release();
        EXPECT_TRUE(output.flush());
        EXPECT_EQ(output.error(), 0);
    }
    EXPECT_EQ(reader.finish(), expected);
}

// Closed while its reader stalls, the queue counts the lines it gives up:
// those and the lines the reader got add up to all.
TEST(OutputQueueTest, ClosedWhileItsReaderStallsItCountsTheLinesItGivesUp) {
    Reader reader;
    reader.start(/*held=*/true);
    constexpr int kLines = 3000;
    OutputQueue output(reader.writeEnd());
    for (int i = 0; i < kLines; ++i) ASSERT_TRUE(output.write(line(i)));
    std::this_thread::sleep_for(50ms);
    output.close();
    const std::string received = reader.finish();
    const auto got = static_cast<std::uint64_t>(std::count(received.begin(), received.end(), '\n'));
    EXPECT_GT(output.unwrittenLines(), 0u);
    EXPECT_EQ(got + output.unwrittenLines(), static_cast<std::uint64_t>(kLines));
}

// Text in the batch being written counts against the limit as much as text
// that waits: a reader that takes a little and stalls again does not let
// the queue hold its limit twice over.
TEST(OutputQueueTest, TheBatchBeingWrittenCountsAgainstTheLimit) {
    constexpr std::size_t kLimit = 100000, kPipe = 4096;
    Reader reader;
    reader.start(/*held=*/true);
    OutputQueue output(reader.writeEnd(), {}, kLimit);
    const std::string piece(100, 'x');
    auto fill = [&] {
        for (int i = 0; i < 2000; ++i) ASSERT_TRUE(output.write(piece));
    };
    fill();
    // The reader takes what the pipe holds; the writer takes the full queue
    // as its batch and is held up by the pipe again.
    reader.release();
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (reader.received() < 2 * kPipe && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    reader.hold();
    std::this_thread::sleep_for(100ms);
    // Whatever the reader took before it stalled (on a busy machine more
    // than the two pipefuls waited for) left as much room in the queue.
    const std::size_t taken = reader.received();
    fill();
    reader.release();
    EXPECT_TRUE(output.flush());
    EXPECT_LE(reader.finish().size(), kLimit + taken + 2 * kPipe);
}

TEST(OutputQueueTest, PastItsLimitPiecesAreDroppedAndEveryDropIsTold) {
    Reader reader;
    reader.start(/*held=*/true);
    std::atomic<std::uint64_t> dropped{0};
    const std::string piece(100, 'x');
    constexpr int kPieces = 200;
    OutputQueue output(
        reader.writeEnd(), [&](std::uint64_t pieces) { dropped += pieces; }, /*limit=*/1000);
    // The pipe and the limit hold far less than is written while the reader
    // stalls: what they cannot hold is dropped, whole pieces only.
    for (int i = 0; i < kPieces; ++i) ASSERT_TRUE(output.write(piece));
    reader.release();
    EXPECT_TRUE(output.flush());
    const std::string received = reader.finish();
    EXPECT_EQ(received, std::string(received.size(), 'x'));
    EXPECT_EQ(received.size() % piece.size(), 0u);
    // Drops are told once the queue has run empty, possibly in several parts.
    const std::uint64_t lost = kPieces - received.size() / piece.size();
    EXPECT_GT(lost, 0u);
    for (const auto deadline = std::chrono::steady_clock::now() + kPatience;
         dropped.load() != lost && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(dropped.load(), lost);
}

TEST(OutputQueueTest, AReaderThatGoesAwayFailsTheQueueAndSaysSo) {
    // SIGPIPE is the program's own business; here the write reports EPIPE.
    sigset_t pipeSignal, previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);

    Reader reader;
    reader.closeReadEnd();
    {
        OutputQueue output(reader.writeEnd());
        output.write("nobody reads this\n");
        pollfd failure{output.failureFd(), POLLIN, 0};
        ASSERT_EQ(poll(&failure, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())), 1);
        EXPECT_EQ(output.error(), EPIPE);
        EXPECT_FALSE(output.write("nor this\n"));
        EXPECT_FALSE(output.flush());
    }

    timespec none{};
    while (sigtimedwait(&pipeSignal, nullptr, &none) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// A reader that never reads: a flush gives way to the stop descriptor, and
// closing ends the thread although its write is blocked on the full pipe.
TEST(OutputQueueTest, AStopIsAnsweredWhileTheReaderNeverReads) {
    Reader reader;
    reader.start(/*held=*/true);
    const int stop = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(stop, 0);
    auto output = std::make_unique<OutputQueue>(reader.writeEnd());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(output->write(line(i)));

    auto flushed = std::async(std::launch::async, [&] { return output->flush(stop); });
    std::this_thread::sleep_for(50ms);
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(stop, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    ASSERT_EQ(flushed.wait_for(kPatience), std::future_status::ready);
    EXPECT_FALSE(flushed.get());
    EXPECT_FALSE(output->flush(-1, 20));  // and a timeout alone ends it too

    auto closed = std::async(std::launch::async, [&] { output.reset(); });
    EXPECT_EQ(closed.wait_for(kPatience), std::future_status::ready);
    ::close(stop);
}

// A table far larger than the queue's limit goes out whole, piece by
// piece, each waiting for room: nothing is dropped, whatever the reader's pace.
TEST(OutputQueueTest, ATableLargerThanTheLimitGoesOutWholeInPieces) {
    ConnectionList list;
#if defined(__SANITIZE_THREAD__)
    constexpr int kRows = 40000;  // still many times the limit, at a cost ThreadSanitizer can bear
#else
    constexpr int kRows = 400000;
#endif
    for (int i = 0; i < kRows; ++i) {
        const std::string port = std::to_string(1024 + i % 60000);
        const std::string remote = "10." + std::to_string(i / 60000) + ".0.1";
        list.insertRow({"TCP", "", "127.0.0.1:" + port, "→", remote + ":443", "ESTABLISHED", "/usr/bin/client",
                        std::to_string(i), "新規", "127.0.0.1", "", port, remote, "", "443", "0"});
    }
    Reader reader(false, 1 << 20);
    reader.start();
    OutputQueue output(reader.writeEnd(), {}, /*limit=*/std::size_t{1} << 20);
    std::string sent;
    std::size_t pieces = 0;
    ASSERT_TRUE(writeJsonConnectionList(
        list, false,
        [&](std::string_view piece) {
            sent.append(piece);
            ++pieces;
            return output.writeWhenRoom(piece);
        },
        64 * 1024));
    ASSERT_TRUE(output.flush());
    output.close();
    const std::string received = reader.finish();
    EXPECT_GT(pieces, 100u);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), '\n'), kRows + 2);
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
}

}  // namespace
}  // namespace kestrova
