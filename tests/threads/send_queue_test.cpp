#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../support/Patience.h"
#include "monitor/SendQueue.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using kestrova::testing::kPatience;

// A stand-in for the GUI thread: owns the SendQueue, sleeps until woken and
// then drains it. It can be held so that senders pile up, and can run
// commands of the test on itself.
class WindowLoop {
public:
    WindowLoop() {
        thread_ = std::thread([this] { run(); });
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return queue_ != nullptr; });
        queuePtr_ = queue_.get();
    }
    ~WindowLoop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    SendQueue& queue() { return *queuePtr_; }
    std::thread::id id() const { return thread_.get_id(); }

    // Runs `command` on the loop's thread and waits for it.
    void onWindowThread(std::function<void()> command) {
        auto done = std::make_shared<std::promise<void>>();
        auto finished = done->get_future();
        {
            std::lock_guard lock(mutex_);
            commands_.push_back([command = std::move(command), done] {
                command();
                done->set_value();
            });
        }
        cv_.notify_all();
        finished.wait();
    }
    void hold(bool held) {
        {
            std::lock_guard lock(mutex_);
            held_ = held;
        }
        cv_.notify_all();
    }
    int wakes() {
        std::lock_guard lock(mutex_);
        return wakes_;
    }
    // Waits until at least `count` wakes have come, i.e. that many senders
    // are past queuing their work.
    bool waitForWakes(int count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kPatience, [&] { return wakes_ >= count; });
    }
    void destroyQueue() {
        onWindowThread([this] { queue_.reset(); });
    }

private:
    void run() {
        {
            std::lock_guard lock(mutex_);
            queue_ = std::make_unique<SendQueue>([this] {
                {
                    std::lock_guard inner(mutex_);
                    ++wakes_;
                    woken_ = true;
                }
                cv_.notify_all();
            });
        }
        cv_.notify_all();
        std::unique_lock lock(mutex_);
        while (true) {
            // Strictly on wake-ups: a lost one would hang the senders.
            cv_.wait(lock, [&] { return stop_ || (woken_ && !held_) || !commands_.empty(); });
            if (stop_) break;
            auto commands = std::move(commands_);
            commands_.clear();
            const bool drain = woken_ && !held_;
            if (drain) woken_ = false;
            lock.unlock();
            for (auto& command : commands) command();
            if (drain && queue_) queue_->runPending();
            lock.lock();
        }
        lock.unlock();
        queue_.reset();
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    std::unique_ptr<SendQueue> queue_;  // the loop thread's own
    SendQueue* queuePtr_ = nullptr;
    std::vector<std::function<void()>> commands_;
    int wakes_ = 0;
    bool woken_ = false;
    bool held_ = false;
    bool stop_ = false;
};

// Senders all started at once; `result(i)` waits for the i-th.
class Senders {
public:
    Senders(int count, std::function<bool(int)> body) {
        for (int i = 0; i < count; ++i) results_.push_back(std::async(std::launch::async, body, i));
    }
    bool finishWithin(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (auto& r : results_)
            if (r.wait_until(deadline) != std::future_status::ready) return false;
        return true;
    }
    bool result(int i) { return results_[static_cast<std::size_t>(i)].get(); }

private:
    std::vector<std::future<bool>> results_;
};

TEST(SendQueueThreadTest, ManySendersRunInOrderOnTheWindowThread) {
    constexpr int kSenders = 6;
    constexpr int kSends = 2000;
    WindowLoop loop;
    SendQueue& queue = loop.queue();
    const auto window = loop.id();
    std::vector<std::vector<int>> ran(kSenders);  // window thread only, read after the joins
    bool offThread = false;

    Senders senders(kSenders, [&](int s) {
        for (int i = 0; i < kSends; ++i) {
            int seen = -1;  // plain: the handoff itself must publish the write
            const bool ok = queue.send([&, s, i] {
                offThread |= std::this_thread::get_id() != window;
                ran[static_cast<std::size_t>(s)].push_back(i);
                seen = i;
            });
            if (!ok || seen != i) return false;
        }
        return true;
    });
    const bool finished = senders.finishWithin(kPatience);
    if (!finished) loop.onWindowThread([&] { queue.close(); });  // a lost wake-up: free them, then fail
    ASSERT_TRUE(finished) << "senders hung: a wake-up was lost";
    for (int s = 0; s < kSenders; ++s) EXPECT_TRUE(senders.result(s));

    loop.onWindowThread([] {});  // everything the loop wrote is now visible here
    EXPECT_FALSE(offThread);
    for (const auto& sequence : ran) {
        ASSERT_EQ(sequence.size(), static_cast<std::size_t>(kSends));
        for (int i = 0; i < kSends; ++i) ASSERT_EQ(sequence[static_cast<std::size_t>(i)], i);
    }
}

// How waiting senders are let go while the window thread is not draining.
enum class Release { Close, Destroy };

class SendQueueReleaseTest : public ::testing::TestWithParam<Release> {};

TEST_P(SendQueueReleaseTest, WaitingSendersReturnFalseWithoutTheirWork) {
    constexpr int kSenders = 5;
    WindowLoop loop;
    SendQueue& queue = loop.queue();
    loop.hold(true);
    std::atomic<int> ran{0};

    Senders senders(kSenders, [&](int) { return queue.send([&] { ++ran; }); });
    ASSERT_TRUE(loop.waitForWakes(kSenders));
    EXPECT_FALSE(senders.finishWithin(20ms)) << "a sender returned before its work could run";

    if (GetParam() == Release::Close)
        loop.onWindowThread([&] { queue.close(); });
    else
        loop.destroyQueue();  // returns only once the queue is gone

    ASSERT_TRUE(senders.finishWithin(kPatience));
    for (int s = 0; s < kSenders; ++s) EXPECT_FALSE(senders.result(s));
    loop.hold(false);
    EXPECT_EQ(ran, 0);
}

INSTANTIATE_TEST_SUITE_P(Releases, SendQueueReleaseTest, ::testing::Values(Release::Close, Release::Destroy));

TEST(SendQueueThreadTest, ClosedQueueRefusesEveryone) {
    WindowLoop loop;
    SendQueue& queue = loop.queue();
    bool ran = false;
    loop.onWindowThread([&] {
        queue.close();
        EXPECT_TRUE(queue.isClosed());
        EXPECT_FALSE(queue.send([&] { ran = true; }));
    });
    EXPECT_FALSE(queue.send([&] { ran = true; }));
    loop.onWindowThread([] {});
    EXPECT_FALSE(ran);
    EXPECT_EQ(loop.wakes(), 0);
}

TEST(SendQueueThreadTest, SendOnTheWindowThreadRunsInPlace) {
    WindowLoop loop;
    loop.hold(true);  // nothing would drain a queued request
    loop.onWindowThread([&] {
        bool ran = false;
        EXPECT_TRUE(loop.queue().send([&] { ran = true; }));
        EXPECT_TRUE(ran);
    });
    EXPECT_EQ(loop.wakes(), 0);
}

TEST(SendQueueThreadTest, WorkThatClosesTheQueueRefusesTheRest) {
    // The window closing from inside a piece of work: the senders behind it
    // must be refused, not run against a window that is going away.
    WindowLoop loop;
    SendQueue& queue = loop.queue();
    loop.hold(true);
    std::atomic<int> ranAfterClose{0};
    std::promise<bool> first;
    std::thread closer([&] { first.set_value(queue.send([&] { queue.close(); })); });
    ASSERT_TRUE(loop.waitForWakes(1));
    Senders rest(4, [&](int) { return queue.send([&] { ++ranAfterClose; }); });
    ASSERT_TRUE(loop.waitForWakes(5));
    loop.hold(false);

    ASSERT_TRUE(rest.finishWithin(kPatience));
    closer.join();
    EXPECT_TRUE(first.get_future().get());
    for (int s = 0; s < 4; ++s) EXPECT_FALSE(rest.result(s));
    EXPECT_EQ(ranAfterClose, 0);
}

}  // namespace
}  // namespace kestrova
