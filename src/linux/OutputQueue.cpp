#include "linux/OutputQueue.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace kestrova {

namespace {

// Sent to the writing thread to interrupt a write that blocks: its handler
// does nothing and is installed without SA_RESTART, so the write returns.
int kickSignal() { return SIGRTMIN; }

void onKick(int) {}

void installKickHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = onKick;
        sigemptyset(&action.sa_mask);
        sigaction(kickSignal(), &action, nullptr);
    });
}

}  // namespace

struct OutputQueue::Shared {
    int fd = -1;
    int failure = -1;  // eventfd
    std::size_t limit = 0;
    std::function<void(std::uint64_t)> dropped;

    std::mutex mutex;
    std::condition_variable wake;     // text queued, or closing
    std::condition_variable written;  // the queue ran empty, a write failed, or the thread ended
    std::string queued;
    bool idle = false;  // the thread waits for text
    bool writing = false;
    bool closing = false;
    bool done = false;
    std::atomic<bool> abandon{false};
    std::atomic<int> error{0};
    std::uint64_t droppedPieces = 0;
};

OutputQueue::OutputQueue(int fd, std::function<void(std::uint64_t)> dropped, std::size_t limit)
    : shared_(std::make_shared<Shared>()) {
    installKickHandler();
    shared_->fd = fd;
    shared_->failure = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    shared_->limit = limit;
    shared_->dropped = std::move(dropped);
    thread_ = std::thread([this] { run(); });
}

OutputQueue::~OutputQueue() {
    close();
    if (shared_->failure >= 0) ::close(shared_->failure);
}

bool OutputQueue::write(std::string_view text) {
    Shared& s = *shared_;
    bool wake = false;
    {
        std::lock_guard lock(s.mutex);
        if (s.error.load() != 0) return false;
        if (s.closing) return true;
        if (s.queued.size() + text.size() > s.limit) {
            ++s.droppedPieces;
            return true;
        }
        s.queued.append(text);
        // One wake-up for each time the thread went to wait, however many
        // pieces come before it runs; given outside the lock, so that the
        // thread does not wake only to wait for it.
        wake = s.idle;
        s.idle = false;
    }
    if (wake) s.wake.notify_one();
    return true;
}

bool OutputQueue::flush(int stopFd, int timeoutMs) {
    Shared& s = *shared_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.error.load() != 0 || s.done) return false;
        if (s.queued.empty() && !s.writing) return true;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        // Short waits, so that the stop descriptor is looked at often.
        s.written.wait_for(lock, std::chrono::milliseconds(20));
        if (stopFd >= 0) {
            pollfd stop{stopFd, POLLIN, 0};
            if (poll(&stop, 1, 0) > 0) return false;
        }
    }
}

void OutputQueue::close() {
    if (!thread_.joinable()) return;
    Shared& s = *shared_;
    {
        std::lock_guard lock(s.mutex);
        s.closing = true;
        s.abandon = true;
        s.wake.notify_one();
    }
    std::unique_lock lock(s.mutex);
    // A kick that comes just before the write begins is lost, so kick until
    // the thread has gone.
    while (!s.done) {
        pthread_kill(thread_.native_handle(), kickSignal());
        s.written.wait_for(lock, std::chrono::milliseconds(10));
    }
    lock.unlock();
    thread_.join();
}

int OutputQueue::failureFd() const { return shared_->failure; }

int OutputQueue::error() const { return shared_->error.load(); }

void OutputQueue::run() {
    Shared& s = *shared_;
    std::string batch;
    std::uint64_t droppedTold = 0;
    std::unique_lock lock(s.mutex);
    while (!s.abandon) {
        if (s.queued.empty()) {
            if (s.droppedPieces > droppedTold && s.dropped) {
                const std::uint64_t lost = s.droppedPieces - droppedTold;
                droppedTold = s.droppedPieces;
                lock.unlock();
                s.dropped(lost);
                lock.lock();
                continue;
            }
            if (s.closing) break;
            s.idle = true;
            s.wake.wait(lock);
            s.idle = false;
            continue;
        }
        batch.clear();
        batch.swap(s.queued);
        s.writing = true;
        lock.unlock();

        int failed = 0;
        std::size_t at = 0;
        while (at < batch.size() && !s.abandon) {
            const ssize_t n = ::write(s.fd, batch.data() + at, batch.size() - at);
            if (n >= 0) {
                at += static_cast<std::size_t>(n);
            } else if (errno != EINTR) {
                failed = errno;
                break;
            }
        }

        lock.lock();
        s.writing = false;
        if (failed) {
            s.error = failed;
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t signalled = ::write(s.failure, &one, sizeof one);
            break;
        }
        s.written.notify_all();
    }
    s.done = true;
    s.written.notify_all();
}

}  // namespace kestrova
