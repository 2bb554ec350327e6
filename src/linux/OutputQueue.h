#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

namespace kestrova {

// Writes text to a descriptor (standard output) from a thread of its own, so
// that a reader that stalls holds up nothing but that thread: the monitor
// keeps its rows right, its workers keep handing over, a stop signal is
// answered, and the text waits here until the reader takes it again. A
// descriptor that does not block (as some supervisors hand out) is waited
// on as one that does.
//
// What waits is bounded: the text queued and the part of the batch being
// written not yet taken add up to at most `limit` bytes. write() drops what
// would pass it (a reader that never comes back must not take all memory),
// and once the queue has been written out again `dropped` is told, on the
// writing thread, how many pieces were lost since it was last told.
// writeWhenRoom() waits for room instead. After a stall the memory that held
// it is given back.
class OutputQueue {
public:
    static constexpr std::size_t kDefaultLimit = std::size_t{64} << 20;

    explicit OutputQueue(int fd, std::function<void(std::uint64_t pieces)> dropped = {},
                         std::size_t limit = kDefaultLimit);
    // close().
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Queues `text` to be written whole and in order, or drops it when the
    // queue has no room for it; false once a write has failed (then nothing
    // more is written).
    bool write(std::string_view text);
    // Queues `text` whole and in order, first waiting until there is room
    // for it (a piece larger than the limit waits for an empty queue); false,
    // with nothing queued, once a write has failed or `stopFd` turned
    // readable.
    bool writeWhenRoom(std::string_view text, int stopFd = -1);
    // Waits until everything queued has been written (true), or a write
    // failed, `stopFd` turned readable or `timeoutMs` passed (-1: no limit).
    bool flush(int stopFd = -1, int timeoutMs = -1);
    // Stops the thread. Text still queued is given up, and a write blocked on
    // a reader that does not read is interrupted. Only the first call does
    // anything.
    void close();

    // Once closed: how many lines were given up. Each piece that write()
    // dropped and `dropped` was not told of counts as one, and so does each
    // line end still queued, or in the batch being written, at close().
    std::uint64_t unwrittenLines() const;

    // Readable once a write has failed.
    int failureFd() const;
    // The errno of the write that failed, 0 while none has.
    int error() const;

private:
    struct Shared;
    void run();

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace kestrova
