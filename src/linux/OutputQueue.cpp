#include "linux/OutputQueue.h"

#include <malloc.h>
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
#include <string_view>

namespace kestrova {

namespace {

// Sent to the writing thread to interrupt a write that blocks: its handler
// does nothing and is installed without SA_RESTART, so the write returns.
int kickSignal() { return SIGRTMIN; }

void onKick(int) {}

// A batch whose buffer grew past this held a stall's worth of text; its
// memory goes back once it has been written.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

std::uint64_t lineEnds(std::string_view text) {
    std::uint64_t count = 0;
    for (const char c : text) count += c == '\n';
    return count;
}

// Waits until a descriptor that does not block can take more; false when
// it cannot be waited on. A kick interrupts the wait as it does a write.
bool waitWritable(int fd) {
    pollfd out{fd, POLLOUT, 0};
    return poll(&out, 1, -1) >= 0 || errno == EINTR;
}

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
    // The bytes of the batch being written that the descriptor has not
    // taken yet: they count against the limit as much as the queued ones.
    std::atomic<std::size_t> inFlight{0};
    bool idle = false;  // the thread waits for text
    bool writing = false;
    bool closing = false;
    bool done = false;
    std::atomic<bool> abandon{false};
    std::atomic<int> error{0};
    std::uint64_t droppedPieces = 0;
    std::uint64_t unwritten = 0;  // set as the thread ends

    bool hasRoomFor(std::size_t size) const { return queued.size() + inFlight.load() + size <= limit; }
    bool empty() const { return queued.empty() && inFlight.load() == 0; }
    // Queues `text` under the lock; true when the thread is to be woken.
    bool append(std::string_view text) {
        queued.append(text);
        // One wake-up for each time the thread went to wait, however many
        // pieces come before it runs; given outside the lock, so that the
        // thread does not wake only to wait for it.
        const bool wake = idle;
        idle = false;
        return wake;
    }
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
        if (!s.hasRoomFor(text.size())) {
            ++s.droppedPieces;
            return true;
        }
        wake = s.append(text);
    }
    if (wake) s.wake.notify_one();
    return true;
}

bool OutputQueue::writeWhenRoom(std::string_view text, int stopFd) {
    Shared& s = *shared_;
    bool wake = false;
    {
        std::unique_lock lock(s.mutex);
        for (;;) {
            if (s.error.load() != 0 || s.closing || s.done) return false;
            if (s.hasRoomFor(text.size()) || s.empty()) break;
            // Short waits, so that the stop descriptor is looked at often.
            s.written.wait_for(lock, std::chrono::milliseconds(20));
            if (stopFd >= 0) {
                pollfd stop{stopFd, POLLIN, 0};
                if (poll(&stop, 1, 0) > 0) return false;
            }
        }
        wake = s.append(text);
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

std::uint64_t OutputQueue::unwrittenLines() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->unwritten;
}

int OutputQueue::failureFd() const { return shared_->failure; }

int OutputQueue::error() const { return shared_->error.load(); }

void OutputQueue::run() {
    Shared& s = *shared_;
    std::string batch;
    std::size_t at = 0;  // how much of the batch has been written
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
        at = 0;
        s.inFlight = batch.size();
        s.writing = true;
        lock.unlock();

        int failed = 0;
        while (at < batch.size() && !s.abandon) {
            const ssize_t n = ::write(s.fd, batch.data() + at, batch.size() - at);
            if (n >= 0) {
                at += static_cast<std::size_t>(n);
                s.inFlight = batch.size() - at;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A descriptor that does not block is full: wait, as a
                // blocking write would have.
                if (!waitWritable(s.fd)) {
                    failed = errno;
                    break;
                }
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
        if (at < batch.size()) break;  // abandoned
        s.written.notify_all();
        if (batch.capacity() > kKeptCapacity) {
            // The text of a stall has gone out: its buffers go back to the
            // system rather than stay with the process for good.
            std::string().swap(batch);
            at = 0;
            lock.unlock();
            malloc_trim(0);
            lock.lock();
        }
    }
    s.unwritten = s.droppedPieces - droppedTold + lineEnds(s.queued) +
                  (at < batch.size() ? lineEnds(std::string_view(batch).substr(at)) : 0);
    s.done = true;
    s.written.notify_all();
}

}  // namespace kestrova
