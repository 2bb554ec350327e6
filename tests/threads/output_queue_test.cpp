#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

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
#include "linux/OutputQueue.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using kestrova::testing::kPatience;

// A pipe whose read end the test drains on a thread of its own, as a reader
// of `kestrova --log | ...` would; it can be held (the reader stalls) and let
// go again.
class Reader {
public:
    Reader() {
        EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
        fcntl(fds_[1], F_SETPIPE_SZ, 4096);  // full after a few lines
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
            char chunk[1024];
            for (;;) {
                while (held_) std::this_thread::sleep_for(1ms);
                const ssize_t n = ::read(fds_[0], chunk, sizeof chunk);
                if (n <= 0) return;  // the write end went
                received_.append(chunk, static_cast<std::size_t>(n));
            }
        });
    }
    void release() { held_ = false; }
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

}  // namespace
}  // namespace kestrova
