#include "monitor/HostNamePass.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "monitor/HostNameText.h"

namespace kestrova {

std::size_t fillHostName(ConnectionList& list, std::string_view address, std::string_view name,
                         std::size_t limit) {
    std::size_t filled = 0;
    // Each fill takes its end out of the index, so work from a copy.
    for (const UnnamedSide& end : list.unnamedAddresses().unnamedSides(address, limit)) {
        const int row = list.rowOfSerial(end.serial);
        if (row < 0) continue;
        list.setCellText(row, end.side == RowSide::Local ? colLocalHost : colRemoteHost, name);
        ++filled;
    }
    return filled;
}

HostNamePass::HostNamePass(ConnectionList& list, LogSink appendLog, std::shared_ptr<WindowThread> window,
                           std::shared_ptr<HostResolver> resolver)
    : list_(&list), appendLog_(std::move(appendLog)), window_(std::move(window)), resolver_(std::move(resolver)) {}

std::shared_ptr<HostNamePass> HostNamePass::start(ConnectionList& list, LogSink appendLog,
                                                  std::shared_ptr<WindowThread> window,
                                                  std::shared_ptr<HostResolver> resolver) {
    if (!window || !resolver) return nullptr;
    std::shared_ptr<HostNamePass> pass(
        new HostNamePass(list, std::move(appendLog), std::move(window), std::move(resolver)));
    try {
        std::thread([pass] { pass->run(); }).detach();
    } catch (const std::system_error&) {
        return nullptr;
    }
    return pass;
}

void HostNamePass::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    looked_.notify_all();
}

bool HostNamePass::say(LogKind kind, std::string_view text) {
    return !stopped() && window_->send([this, kind, text] {
        if (!stopped()) appendLog_({kind, text});
    });
}

void HostNamePass::run() {
    if (say(LogKind::ResolveStart, RESOLVE_START_TEXT)) {
        std::vector<std::string> addresses;
        const bool collected = window_->send([this, &addresses] {
            if (!stopped()) addresses = list_->unnamedAddresses().unnamedAddresses();
        });
        if (collected) resolveAll(std::move(addresses));
        say(LogKind::ResolveEnd, RESOLVE_END_TEXT);
    }
    running_ = false;
}

void HostNamePass::resolveAll(std::vector<std::string> addresses) {
    const std::size_t count = addresses.size();
    {
        std::lock_guard lock(mutex_);
        addresses_ = std::move(addresses);
        names_.assign(count, std::nullopt);
        answered_.assign(count, false);
        nextLookup_ = 0;
    }
    std::size_t started = 0;
    const std::size_t wanted = std::min(count, MAX_LOOKUPS_IN_FLIGHT);
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            std::thread([self = shared_from_this()] { self->lookUpNext(); }).detach();
            ++started;
        } catch (const std::system_error&) {
            break;
        }
    }
    // Without a thread of their own the lookups run here, one by one.
    if (started == 0 && count > 0) lookUpNext();

    for (std::size_t i = 0; i < count; ++i) {
        std::optional<std::string> name;
        std::string address;
        {
            std::unique_lock lock(mutex_);
            looked_.wait(lock, [&] { return answered_[i] || stopped(); });
            if (stopped()) return;
            name = std::move(names_[i]);
            address = addresses_[i];
        }
        if (name && !apply(address, *name)) {
            // The window is closing: let the lookups still queued go.
            stop();
            return;
        }
    }
}

bool HostNamePass::apply(const std::string& address, const std::string& name) {
    bool first = true;
    bool more = true;
    while (more) {
        const bool applied = window_->send([&] {
            more = false;
            if (stopped()) return;
            if (first) appendLog_({LogKind::Name, resolvedLine(address, name), nullptr, {}, {}, address, name});
            more = fillHostName(*list_, address, name, FILLS_PER_REQUEST) == FILLS_PER_REQUEST;
        });
        if (!applied) return false;
        first = false;
    }
    return true;
}

void HostNamePass::lookUpNext() {
    for (;;) {
        std::size_t index;
        std::string address;
        {
            std::lock_guard lock(mutex_);
            if (stopped() || nextLookup_ >= addresses_.size()) return;
            index = nextLookup_++;
            address = addresses_[index];
        }
        std::optional<std::string> name = displayableHostName(resolver_->reverseLookup(address));
        {
            std::lock_guard lock(mutex_);
            names_[index] = std::move(name);
            answered_[index] = true;
        }
        looked_.notify_all();
    }
}

}  // namespace kestrova
