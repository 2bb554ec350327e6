#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "SpinUntil.h"
#include "qt/QtWindowThread.h"

namespace kestrova {
namespace {

using namespace std::chrono_literals;
using kestrova::testing::spinUntil;

TEST(QtWindowThreadTest, WorkerSendsRunOnTheGuiThreadInOrder) {
    constexpr int kSenders = 4;
    constexpr int kSends = 200;
    const auto gui = std::this_thread::get_id();
    int afterWorkCalls = 0;
    bool afterWorkOffThread = false;
    QtWindowThread window([&] {
        ++afterWorkCalls;
        afterWorkOffThread |= std::this_thread::get_id() != gui;
    });

    std::vector<std::vector<int>> ran(kSenders);  // touched on the GUI thread only
    bool workOffThread = false;
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int s = 0; s < kSenders; ++s) {
        workers.emplace_back([&, s] {
            for (int i = 0; i < kSends; ++i) {
                int seen = -1;
                const bool ok = window.send([&, s, i] {
                    workOffThread |= std::this_thread::get_id() != gui;
                    ran[static_cast<std::size_t>(s)].push_back(i);
                    seen = i;
                });
                // true means the work has already run, and its writes are visible here.
                if (!ok || seen != i) ++failures;
            }
            ++finished;
        });
    }
    const bool allDone = spinUntil([&] { return finished == kSenders; });
    if (!allDone) window.close();  // let stuck workers go rather than hang
    for (auto& w : workers) w.join();

    ASSERT_TRUE(allDone);
    EXPECT_EQ(failures, 0);
    EXPECT_FALSE(workOffThread);
    EXPECT_FALSE(afterWorkOffThread);
    EXPECT_GT(afterWorkCalls, 0);
    for (const auto& sequence : ran) {
        ASSERT_EQ(sequence.size(), static_cast<std::size_t>(kSends));
        for (int i = 0; i < kSends; ++i) EXPECT_EQ(sequence[static_cast<std::size_t>(i)], i);
    }
}

// How the worker gets released while it waits in send().
enum class Release { Close, Destroy };

class QtWindowThreadReleaseTest : public ::testing::TestWithParam<Release> {};

// Swallows the queued calls posted to an object, noting that one came.
class SwallowQueuedCalls : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::MetaCall) return false;
        posted = true;
        return true;
    }
    bool posted = false;
};

TEST_P(QtWindowThreadReleaseTest, BlockedSenderGetsFalsePromptly) {
    // Declared so that, should an assertion bail out, the window goes first
    // and releases the sender before the future waits for it.
    std::atomic<bool> ran{false};
    SwallowQueuedCalls swallow;
    std::future<bool> result;
    auto window = std::make_unique<QtWindowThread>();
    QtWindowThread* target = window.get();
    window->installEventFilter(&swallow);
    result = std::async(std::launch::async, [&] { return target->send([&] { ran = true; }); });
    // The wake-up arriving proves the sender is inside send(); swallowing it
    // keeps the work from running, so the sender stays blocked.
    ASSERT_TRUE(spinUntil([&] { return swallow.posted; }));
    ASSERT_EQ(result.wait_for(10ms), std::future_status::timeout);

    if (GetParam() == Release::Close)
        window->close();
    else
        window.reset();

    ASSERT_EQ(result.wait_for(testing::kPatience), std::future_status::ready) << "sender still blocked";
    EXPECT_FALSE(result.get());
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

INSTANTIATE_TEST_SUITE_P(Releases, QtWindowThreadReleaseTest, ::testing::Values(Release::Close, Release::Destroy));

TEST(QtWindowThreadTest, SendAfterCloseIsRefusedFromAnyThread) {
    int afterWorkCalls = 0;
    QtWindowThread window([&] { ++afterWorkCalls; });
    window.close();
    bool ran = false;
    EXPECT_FALSE(window.send([&] { ran = true; }));
    EXPECT_FALSE(std::async(std::launch::async, [&] { return window.send([&] { ran = true; }); }).get());
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
    EXPECT_EQ(afterWorkCalls, 0);
}

TEST(QtWindowThreadTest, SharedHandOffOutlivesTheObjectAndRefusesEverySend) {
    auto window = std::make_unique<QtWindowThread>();
    const std::shared_ptr<WindowThread> held = window->share();
    ASSERT_NE(held, nullptr);
    window.reset();
    bool ran = false;
    EXPECT_FALSE(std::async(std::launch::async, [&] { return held->send([&] { ran = true; }); }).get());
    EXPECT_FALSE(held->send([&] { ran = true; }));
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

TEST(QtWindowThreadTest, SendOnTheGuiThreadRunsInline) {
    QtWindowThread window;
    bool ran = false;
    EXPECT_TRUE(window.send([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace kestrova
