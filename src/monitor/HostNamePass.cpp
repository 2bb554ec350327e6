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
        list.fillName(row, end.side, name);
        ++filled;
    }
    return filled;
}

std::size_t LookupsInFlight::reserve(std::size_t wanted) {
    std::lock_guard lock(mutex_);
    const std::size_t got = std::min(wanted, MAX_LOOKUP_THREADS - std::min(threads_, MAX_LOOKUP_THREADS));
    threads_ += got;
    return got;
}

void LookupsInFlight::release(std::size_t threads) {
    std::lock_guard lock(mutex_);
    threads_ -= std::min(threads, threads_);
}

void LookupsInFlight::begin(const std::string& address) {
    std::lock_guard lock(mutex_);
    addresses_.insert(address);
}

void LookupsInFlight::end(const std::string& address) {
    std::lock_guard lock(mutex_);
    if (auto it = addresses_.find(address); it != addresses_.end()) addresses_.erase(it);
}

bool LookupsInFlight::inFlight(const std::string& address) const {
    std::lock_guard lock(mutex_);
    return addresses_.contains(address);
}

std::size_t LookupsInFlight::threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
}

HostNamePass::HostNamePass(ConnectionList& list, LogSink appendLog, std::shared_ptr<WindowThread> window,
                           std::shared_ptr<HostResolver> resolver, std::shared_ptr<LookupsInFlight> lookups,
                           std::chrono::milliseconds deadline, std::size_t threads,
                           std::function<void()> finished)
    : list_(&list),
      appendLog_(std::move(appendLog)),
      window_(std::move(window)),
      resolver_(std::move(resolver)),
      lookups_(std::move(lookups)),
      deadline_(deadline),
      finished_(std::move(finished)),
      threads_(threads) {}

std::shared_ptr<HostNamePass> HostNamePass::start(ConnectionList& list, LogSink appendLog,
                                                  std::shared_ptr<WindowThread> window,
                                                  std::shared_ptr<HostResolver> resolver,
                                                  std::shared_ptr<LookupsInFlight> lookups,
                                                  std::chrono::milliseconds deadline,
                                                  std::function<void()> finished) {
    if (!window || !resolver) return nullptr;
    if (!lookups) lookups = std::make_shared<LookupsInFlight>();
    // Lookups that earlier passes gave up on may hold every thread there may
    // be: then this tick starts nothing, as while a pass runs.
    const std::size_t threads = lookups->reserve(MAX_LOOKUPS_IN_FLIGHT);
    if (threads == 0) return nullptr;
    std::shared_ptr<HostNamePass> pass(new HostNamePass(list, std::move(appendLog), std::move(window),
                                                        std::move(resolver), lookups, deadline, threads,
                                                        std::move(finished)));
    try {
        std::thread([pass] { pass->run(); }).detach();
    } catch (const std::system_error&) {
        lookups->release(threads);
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
    if (say(LogKind::ResolveStart, shownText(UiText::ResolveStart))) {
        std::vector<std::string> addresses;
        const bool collected = window_->send([this, &addresses] {
            if (!stopped()) addresses = list_->unnamedAddresses().unnamedAddresses();
        });
        // An address an earlier pass still waits for is left to it.
        std::erase_if(addresses, [this](const std::string& address) { return lookups_->inFlight(address); });
        if (collected) resolveAll(std::move(addresses));
        say(LogKind::ResolveEnd, shownText(UiText::ResolveEnd));
    }
    lookups_->release(threads_);
    threads_ = 0;
    running_ = false;
    if (finished_ && !stopped()) window_->send([this] {
        if (!stopped()) finished_();
    });
}

void HostNamePass::resolveAll(std::vector<std::string> addresses) {
    const std::size_t count = addresses.size();
    {
        std::lock_guard lock(mutex_);
        addresses_ = std::move(addresses);
        names_.assign(count, std::nullopt);
        answered_.assign(count, false);
        startedAt_.assign(count, std::nullopt);
        nextLookup_ = 0;
    }
    const std::size_t wanted = std::min(count, threads_);
    std::size_t started = 0;
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            std::thread([self = shared_from_this()] {
                self->lookUpNext();
                self->lookups_->release();
            }).detach();
            --threads_;
            ++started;
        } catch (const std::system_error&) {
            break;
        }
    }
    // Without a thread of their own the lookups are not made: this thread
    // must stay free to give up on them.
    if (started == 0) return;

    for (std::size_t i = 0; i < count; ++i) {
        if (!awaitAnswer(i)) return;
        std::optional<std::string> name;
        std::string address;
        {
            std::lock_guard lock(mutex_);
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

bool HostNamePass::awaitAnswer(std::size_t i) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopped()) return false;
        if (answered_[i]) return true;
        if (!startedAt_[i]) {
            looked_.wait(lock);
            continue;
        }
        const auto giveUpAt = *startedAt_[i] + deadline_;
        if (std::chrono::steady_clock::now() >= giveUpAt) {
            // It may never return; the lookups still queued are not made.
            abandoned_ = true;
            return false;
        }
        looked_.wait_until(lock, giveUpAt);
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
            if (stopped() || abandoned_ || nextLookup_ >= addresses_.size()) return;
            index = nextLookup_++;
            address = addresses_[index];
            startedAt_[index] = std::chrono::steady_clock::now();
        }
        looked_.notify_all();
        lookups_->begin(address);
        std::optional<std::string> name = displayableHostName(resolver_->reverseLookup(address));
        lookups_->end(address);
        {
            std::lock_guard lock(mutex_);
            names_[index] = std::move(name);
            answered_[index] = true;
        }
        looked_.notify_all();
    }
}

}  // namespace kestrova
