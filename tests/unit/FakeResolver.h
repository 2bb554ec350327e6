#pragma once
// A resolver for tests of the host name pass: answers from a table, and holds
// lookups of chosen addresses (or of all) until the test lets them go. Safe to
// call from many threads at once.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/HostResolver.h"

namespace kestrova::testing {

class FakeResolver : public HostResolver {
public:
    void answer(const std::string& address, std::optional<std::string> name) {
        change([&] { names_[address] = std::move(name); });
    }
    void hold(const std::string& address) { change([&] { held_.insert(address); }); }
    void release(const std::string& address) { change([&] { held_.erase(address); }); }
    void holdEverything() { change([&] { holdAll_ = true; }); }
    void releaseAll() {
        change([&] {
            held_.clear();
            holdAll_ = false;
        });
    }

    std::optional<std::string> reverseLookup(std::string_view address) override {
        const std::string key(address);
        std::unique_lock lock(mutex_);
        calls_.push_back(key);
        maxInFlight_ = std::max(maxInFlight_, ++inFlight_);
        changed_.wait(lock, [&] { return !holdAll_ && !held_.count(key); });
        --inFlight_;
        auto it = names_.find(key);
        return it == names_.end() ? std::nullopt : it->second;
    }

    std::size_t callsOf(const std::string& address) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(calls_.begin(), calls_.end(), address));
    }
    std::size_t calls() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    std::size_t inFlight() const {
        std::lock_guard lock(mutex_);
        return inFlight_;
    }
    std::size_t maxInFlight() const {
        std::lock_guard lock(mutex_);
        return maxInFlight_;
    }

private:
    template <class F>
    void change(F&& f) {
        {
            std::lock_guard lock(mutex_);
            f();
        }
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::optional<std::string>> names_;
    std::set<std::string> held_;
    bool holdAll_ = false;
    std::vector<std::string> calls_;
    std::size_t inFlight_ = 0;
    std::size_t maxInFlight_ = 0;
};

}  // namespace kestrova::testing
