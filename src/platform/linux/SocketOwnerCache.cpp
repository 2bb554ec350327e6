#include "platform/linux/SocketOwnerCache.h"

#include <algorithm>

namespace kestrova {

void SocketOwnerCache::assignOwners(std::span<TcpSocketEntry> entries) {
    ++tick_;
    dropExitedOwners();

    bool scanned = false;
    const bool miss = std::any_of(entries.begin(), entries.end(), [this](const TcpSocketEntry& e) {
        return wantsOwner(e) && !owners_.contains(e.inode);
    });
    if (miss) {
        rescan(entries);
        scanned = true;
    }
    // An owner that was only ever seen in a walk may have ended since; that
    // takes the walk we have not yet spent this tick.
    if (!watchOwners(entries) && !scanned) {
        rescan(entries);
        watchOwners(entries);
    }

    for (TcpSocketEntry& e : entries) {
        e.row.pid = 0;
        if (!wantsOwner(e))
            continue;
        auto it = owners_.find(e.inode);
        if (it == owners_.end())
            continue;  // its owner ended a moment ago: looked up again next tick
        it->second.seenTick = tick_;
        e.row.pid = it->second.pid;
    }
    // Sockets that were in an earlier table and are now gone will not come
    // back (inode numbers are not handed out again soon). Ones a walk found
    // that never showed up stay until the next walk replaces them.
    std::erase_if(owners_, [this](const auto& kv) {
        return kv.second.seenTick != 0 && kv.second.seenTick != tick_;
    });
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

void SocketOwnerCache::rescan(std::span<const TcpSocketEntry> entries) {
    ++scans_;
    holders_.clear();
    source_.scan(holders_);
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
    // Sockets nobody visible holds (other users, other namespaces) are
    // remembered as unowned so they do not cause a walk on every tick.
    for (const TcpSocketEntry& e : entries)
        if (wantsOwner(e))
            fresh.try_emplace(e.inode, Owner{0, 0});
    owners_ = std::move(fresh);
}

bool SocketOwnerCache::watchOwners(std::span<const TcpSocketEntry> entries) {
    owning_.clear();
    for (const TcpSocketEntry& e : entries) {
        if (!wantsOwner(e))
            continue;
        if (auto it = owners_.find(e.inode); it != owners_.end() && it->second.pid != 0)
            owning_.insert(it->second.pid);
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
}

}  // namespace kestrova
