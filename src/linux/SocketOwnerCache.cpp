#include "linux/SocketOwnerCache.h"

#include <algorithm>

namespace kestrova {

void SocketOwnerCache::assignOwners(std::span<TcpSocketEntry> entries, Clock::time_point now) {
    ++tick_;
    seenNow_ = 0;
    dropExitedOwners();

    bool scanned = false;
    const bool complete = resolve(entries);
    // A walk cut short is made again, as one that left sockets unowned is.
    const bool retryDue = (unresolved_ > 0 || lastScan_.cutShort) && now >= retryAt_;
    const bool rewalkDue = !owners_.empty() && now >= rewalkAt_;
    if (!complete || retryDue || rewalkDue) {
        rescan(entries, now, complete && retryDue);
        scanned = true;
        resolve(entries);
    }
    // An owner that was only ever seen in a walk may have ended since; that
    // takes the walk we have not yet spent this tick. Sockets of an owner
    // found gone here are looked up again next tick.
    if (!watchOwners(entries)) {
        if (!scanned) {
            rescan(entries, now, false);
            resolve(entries);
            watchOwners(entries);
        }
        resolve(entries);
    }
    if (!pending_.empty())
        ownByListeners(entries);
    // Sockets that were in an earlier table and are now gone will not come
    // back (inode numbers are not handed out again soon). Ones a walk found
    // that never showed up stay until the next walk replaces them.
    if (owners_.size() != seenNow_ + neverSeen_)
        forgetUnseen();
}

bool SocketOwnerCache::resolve(std::span<TcpSocketEntry> entries) {
    bool complete = true;
    pending_.clear();
    unresolved_ = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        TcpSocketEntry& e = entries[i];
        e.row.pid = 0;
        if (!wantsOwner(e)) {
            if (e.inode == 0 && e.row.state != kStateTimeWait)
                pending_.push_back(i);
            continue;
        }
        auto it = owners_.find(e.inode);
        if (it == owners_.end()) {
            complete = false;
        } else {
            Owner& owner = it->second;
            if (owner.seenTick != tick_) {
                if (owner.seenTick == 0)
                    --neverSeen_;
                owner.seenTick = tick_;
                ++seenNow_;
            }
            e.row.pid = owner.pid;
            unresolved_ += owner.pid == 0;
        }
        if (e.row.pid == 0)
            pending_.push_back(i);
    }
    return complete;
}

void SocketOwnerCache::forgetUnseen() {
    std::erase_if(owners_, [this](const auto& kv) {
        return kv.second.seenTick != 0 && kv.second.seenTick != tick_;
    });
}

void SocketOwnerCache::recount() {
    seenNow_ = neverSeen_ = 0;
    for (const auto& [inode, owner] : owners_) {
        seenNow_ += owner.seenTick == tick_;
        neverSeen_ += owner.seenTick == 0;
    }
}

namespace {

// The states of a connection that may still wait to be accepted: the
// handshake, the accept queue, and a client that hung up in the meantime.
bool mayAwaitAccept(std::uint32_t state) {
    constexpr std::uint32_t kSynReceived = 4, kCloseWait = 8;
    return state == kSynReceived || state == kStateEstablished || state == kCloseWait;
}

// 0.0.0.0 and ::, the addresses of listeners on every address.
const IpAddress kAnyIpv4;
const IpAddress kAnyIpv6 = IpAddress::fromIpv6({});

}  // namespace

void SocketOwnerCache::ownByListeners(std::span<TcpSocketEntry> entries) {
    // A socket with a holder we cannot see is someone else's; one without a
    // holder and out of the accept queue's states is the kernel's.
    for (std::size_t i : pending_) {
        TcpSocketEntry& e = entries[i];
        e.row.pid = e.inode != 0 && !heldByNobody(e) ? kPidNotVisible : 0;
    }
    listeners_.clear();
    for (const TcpSocketEntry& e : entries) {
        if (e.row.state != kStateListen)
            continue;
        // Of listeners sharing a port, the lowest pid; a visible one before
        // one we cannot see.
        const IpAddress& address = e.dualStackListener ? kAnyIpv6 : e.row.localAddr;
        const std::size_t at = static_cast<std::size_t>(&e - entries.data());
        auto [it, added] = listeners_.try_emplace(ListenerKey{address, e.row.localPort}, at);
        if (!added && e.row.pid < entries[it->second].row.pid)
            it->second = at;
    }
    if (listeners_.empty())
        return;
    for (std::size_t i : pending_) {
        TcpSocketEntry& e = entries[i];
        if (!mayAwaitAccept(e.row.state))
            continue;
        // Its listener: on its own address, on every address of its family,
        // or ([::]) on every address of both families.
        const IpAddress& anyOfItsFamily = e.row.localAddr.isIpv4() ? kAnyIpv4 : kAnyIpv6;
        for (const ListenerKey& key : {ListenerKey{e.row.localAddr, e.row.localPort},
                                       ListenerKey{anyOfItsFamily, e.row.localPort},
                                       ListenerKey{kAnyIpv6, e.row.localPort}}) {
            auto it = listeners_.find(key);
            if (it != listeners_.end() && entries[it->second].row.pid != 0) {
                // All of its owner: a request socket names no user or
                // group of its own, and a socket we cannot see is named by
                // its listener's.
                const TcpRow& listener = entries[it->second].row;
                e.row.pid = listener.pid;
                e.row.uid = listener.uid;
                e.row.controlGroup = listener.controlGroup;
                break;
            }
        }
    }
}

bool SocketOwnerCache::heldByNobody(const TcpSocketEntry& e) const {
    // A walk that read every process of the socket's user (ours, or every
    // user's for root) found no holder: it has none, or none that lasted
    // until the walk. A walk cut short proves nothing.
    if (lastScan_.cutShort)
        return false;
    return e.row.uid == lastScan_.uid || (lastScan_.uid == 0 && !lastScan_.denied);
}

void SocketOwnerCache::dropExitedOwners() {
    exited_.clear();
    source_.collectExited(exited_);
    if (exited_.empty())
        return;
    std::unordered_set<std::uint32_t> gone(exited_.begin(), exited_.end());
    for (std::uint32_t pid : gone) {
        source_.unwatch(pid);
        watched_.erase(pid);
    }
    dropPids(gone);
}

void SocketOwnerCache::rescan(std::span<const TcpSocketEntry> entries, Clock::time_point now, bool retry) {
    ++scans_;
    rewalkAt_ = now + kOwnerRewalkInterval;
    holders_.clear();
    const ScanOutcome outcome = source_.scan(holders_);
    const bool newlyCutShort = outcome.cutShort && !lastScan_.cutShort;
    lastScan_ = outcome;
    std::sort(holders_.begin(), holders_.end());

    std::unordered_map<std::uint64_t, Owner> fresh;
    fresh.reserve(holders_.size() + entries.size());
    for (std::size_t i = 0; i < holders_.size();) {
        std::size_t end = i;
        while (end < holders_.size() && holders_[end].inode == holders_[i].inode)
            ++end;
        const std::uint64_t inode = holders_[i].inode;
        Owner owner{holders_[i].pid, 0};  // lowest pid
        if (auto old = owners_.find(inode); old != owners_.end()) {
            owner.seenTick = old->second.seenTick;
            const std::uint32_t kept = old->second.pid;
            // A socket shared after fork keeps the owner it had as long as
            // that process still holds it, so the row does not flap.
            if (kept != 0 && std::any_of(holders_.begin() + i, holders_.begin() + end,
                                         [kept](const SocketHolder& h) { return h.pid == kept; }))
                owner.pid = kept;
        }
        fresh.emplace(inode, owner);
        i = end;
    }
    // Sockets nobody visible holds are remembered as unowned, so that they
    // do not cause a walk on every tick. Most are held where we cannot look
    // (other users, other namespaces), but some are only passing between
    // processes or waiting for accept() to install them: those are looked
    // for again after a second, and after that less and less often.
    // A walk cut short for want of descriptors or memory missed processes it
    // could not look at: the sockets it did not find keep what they had.
    std::size_t newlyUnheld = 0;
    for (const TcpSocketEntry& e : entries) {
        if (!wantsOwner(e) || fresh.contains(e.inode))
            continue;
        auto old = owners_.find(e.inode);
        if (outcome.cutShort && old != owners_.end()) {
            fresh.emplace(e.inode, old->second);
            continue;
        }
        fresh.emplace(e.inode, Owner{0, 0});
        newlyUnheld += old == owners_.end() || old->second.pid != 0;
    }
    if (newlyUnheld > 0 || newlyCutShort)
        retryBackoff_ = kFirstOwnerRetryBackoff;
    else if (retry)
        retryBackoff_ = std::min<Clock::duration>(retryBackoff_ * 2, kOwnerRewalkInterval);
    retryAt_ = now + retryBackoff_;
    owners_ = std::move(fresh);
    recount();
}

bool SocketOwnerCache::watchOwners(std::span<const TcpSocketEntry> entries) {
    owning_.clear();
    std::uint32_t last = 0;
    for (const TcpSocketEntry& e : entries) {
        // Set by resolve(): 0 for sockets without an owner we can see.
        if (e.row.pid == 0 || e.row.pid == last)
            continue;
        last = e.row.pid;
        owning_.insert(last);
    }
    for (auto it = watched_.begin(); it != watched_.end();) {
        if (owning_.contains(*it)) {
            ++it;
        } else {
            source_.unwatch(*it);
            it = watched_.erase(it);
        }
    }
    std::unordered_set<std::uint32_t> gone;
    for (std::uint32_t pid : owning_) {
        if (watched_.contains(pid))
            continue;
        if (source_.watch(pid))
            watched_.insert(pid);
        else
            gone.insert(pid);
    }
    if (gone.empty())
        return true;
    dropPids(gone);
    return false;
}

void SocketOwnerCache::dropPids(const std::unordered_set<std::uint32_t>& pids) {
    std::erase_if(owners_, [&pids](const auto& kv) { return pids.contains(kv.second.pid); });
    recount();
}

}  // namespace kestrova
