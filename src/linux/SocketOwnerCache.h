#pragma once
#include <chrono>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "linux/TcpSocketEntry.h"

namespace kestrova {

// One open socket descriptor of a process: (socket inode, holding pid).
struct SocketHolder {
    std::uint64_t inode = 0;
    std::uint32_t pid = 0;
    auto operator<=>(const SocketHolder&) const = default;
};

// What a walk of the processes could see.
struct ScanOutcome {
    // Some processes could not be looked at for want of descriptors or
    // memory: sockets they hold may be missing from the holders.
    bool cutShort = false;
    // The descriptors of some process may not be read by us.
    bool denied = false;
    // Whose processes we may always read: our own user's.
    std::uint32_t uid = 0;
};

// Where socket owners come from: a walk over every process's descriptors and
// a way to learn that a process has ended.
class SocketOwnerSource {
public:
    virtual ~SocketOwnerSource() = default;
    // Replaces `holders` with every socket descriptor of every process that
    // may be inspected. Processes that vanish or deny access are left out,
    // and so are those that could not be looked at; the outcome tells which.
    virtual ScanOutcome scan(std::vector<SocketHolder>& holders) = 0;
    // Starts watching `pid` for its exit; false when it has gone. A process
    // that could not be looked at is watched as one that lives.
    virtual bool watch(std::uint32_t pid) = 0;
    virtual void unwatch(std::uint32_t pid) = 0;
    // Appends the watched pids that have ended; one that could not be
    // looked at is not among them.
    virtual void collectExited(std::vector<std::uint32_t>& exited) = 0;
};

// How long a walk of the processes stands for a socket nobody is seen to hold
// (its descriptor in flight between processes, or held where we cannot
// look) before the next: this long at first, then twice as long each time,
// up to kOwnerRewalkInterval. Every walk reads every descriptor of every
// process we may inspect, and a machine nearly always has sockets that
// nobody we can see holds, so this is no shorter.
inline constexpr std::chrono::milliseconds kFirstOwnerRetryBackoff{1000};
// Every socket's holder is looked up again this often, so that a socket whose
// holder closed its copy after handing it on (or after a fork) gets the
// process that holds it now.
inline constexpr std::chrono::milliseconds kOwnerRewalkInterval{30000};

// Maps socket inodes to owning pids, walking the processes when a socket
// turns up that has never been seen, again (with a backoff) while some socket
// has no holder we can see, and every kOwnerRewalkInterval. Owners are
// watched so that an ended process's entries go away before its pid can be
// reused.
class SocketOwnerCache {
public:
    using Clock = std::chrono::steady_clock;

    explicit SocketOwnerCache(SocketOwnerSource& source) : source_(source) {}

    // Sets `row.pid` of every entry. A socket held by a process we may see
    // gets that process. A connection waiting in its listener's accept
    // queue (no holder yet) gets the listener's owner, so that its row keeps
    // one key from the handshake to long after accept(). A socket held
    // where we cannot look gets kPidNotVisible, and the kernel's own ones
    // (TIME_WAIT, closed by their process, or held by nobody where we may
    // look everywhere) get 0. A walk cut short for want of descriptors or
    // memory takes nothing away: a socket it did not find keeps the owner it
    // had, and the walk is made again a second later. `entries` is the whole
    // current table, read at `now`; cached sockets missing from it are
    // forgotten.
    void assignOwners(std::span<TcpSocketEntry> entries, Clock::time_point now);

    // How many times the processes were walked.
    std::uint64_t scanCount() const { return scans_; }
    std::size_t size() const { return owners_.size(); }

private:
    struct Owner {
        std::uint32_t pid = 0;      // 0: nobody we may see holds it
        std::uint64_t seenTick = 0; // last table it was in; 0: only ever scanned
    };

    static bool wantsOwner(const TcpSocketEntry& e) {
        return e.inode != 0 && e.row.state != kStateTimeWait;
    }
    void dropExitedOwners();
    // Sets the pid of every entry whose socket is cached (0 for the rest)
    // and collects in pending_ those without a visible owner; false when
    // some socket is not cached at all.
    bool resolve(std::span<TcpSocketEntry> entries);
    void forgetUnseen();
    void recount();
    // Walks the processes. `retry`: the walk is a retry for sockets without
    // a holder, which backs off when it finds nothing new to retry for.
    void rescan(std::span<const TcpSocketEntry> entries, Clock::time_point now, bool retry);
    // Watches the owners of `entries`' sockets (their pids as resolve() set
    // them) and stops watching the rest; false when some owner had already
    // ended (its entries are dropped).
    bool watchOwners(std::span<const TcpSocketEntry> entries);
    void dropPids(const std::unordered_set<std::uint32_t>& pids);
    // Whether a socket of `e`'s that no walk found a holder for is held by
    // nobody, rather than by a process we may not see.
    bool heldByNobody(const TcpSocketEntry& e) const;
    // Gives the sockets in `pending_` the owner of their listener, or their
    // stand-in owner when there is none to give.
    void ownByListeners(std::span<TcpSocketEntry> entries);

    SocketOwnerSource& source_;
    std::unordered_map<std::uint64_t, Owner> owners_;
    std::unordered_set<std::uint32_t> watched_;
    std::uint64_t tick_ = 0;
    std::uint64_t scans_ = 0;
    // Sockets in this table that a visible process should hold but none
    // does, as resolve() found them.
    std::size_t unresolved_ = 0;
    // What the last walk could see; before any, nothing.
    ScanOutcome lastScan_{false, true, ~std::uint32_t{0}};
    Clock::duration retryBackoff_ = kFirstOwnerRetryBackoff;
    Clock::time_point retryAt_{};
    Clock::time_point rewalkAt_{};
    // How many cached sockets are in this tick's table, and how many only a
    // walk has found: when they add up to all, none is left to forget.
    std::size_t seenNow_ = 0;
    std::size_t neverSeen_ = 0;
    // Reused between calls.
    std::vector<SocketHolder> holders_;
    std::vector<std::uint32_t> exited_;
    std::unordered_set<std::uint32_t> owning_;
    std::vector<std::size_t> pending_;  // entries without a visible holder
    // A listening socket's local address and port.
    struct ListenerKey {
        IpAddress address;
        std::uint16_t port = 0;
        bool operator==(const ListenerKey&) const = default;
    };
    struct ListenerHash {
        std::size_t operator()(const ListenerKey& key) const {
            std::uint64_t hash = key.port;
            for (std::uint8_t byte : key.address.bytes()) hash = hash * 0x100000001b3ull ^ byte;
            return static_cast<std::size_t>(hash);
        }
    };
    std::unordered_map<ListenerKey, std::size_t, ListenerHash> listeners_;  // -> the listener's entry
};

}  // namespace kestrova
