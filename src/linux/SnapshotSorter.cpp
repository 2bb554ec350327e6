#include "linux/SnapshotSorter.h"

#include <algorithm>
#include <numeric>

namespace kestrova {
namespace {

constexpr std::uint32_t kGone = UINT32_MAX;
// How far past the expected row a row found again is looked for: sockets
// closed since the last dump leave short gaps in the kernel's order.
constexpr std::size_t kLookAhead = 8;

}  // namespace

void SnapshotSorter::sort(std::vector<TcpRow>& sorted) {
    if (matchLast())
        mergeWithLast();
    else
        sortAfresh();
    // Copied in, not resized and then assigned: a row is not trivially made.
    sorted.clear();
    sorted.reserve(order_.size());
    for (std::uint32_t i : order_)
        sorted.push_back(next_[i]);
    last_.swap(next_);
    lastOrder_.swap(order_);
}

bool SnapshotSorter::matchLast() {
    const std::size_t n = next_.size(), m = last_.size();
    found_.assign(m, kGone);
    fresh_.clear();
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const SnapshotKey key = snapshotKey(next_[i]);
        std::size_t ahead = 0;
        while (ahead <= kLookAhead && j + ahead < m && snapshotKey(last_[j + ahead]) != key)
            ++ahead;
        if (ahead <= kLookAhead && j + ahead < m) {
            j += ahead;
            found_[j++] = static_cast<std::uint32_t>(i);
        } else {
            fresh_.push_back(static_cast<std::uint32_t>(i));  // new, or moved
        }
    }
    // Past a quarter new, a sort of everything is as cheap.
    return fresh_.size() <= n / 4;
}

void SnapshotSorter::sortAfresh() {
    order_.resize(next_.size());
    std::iota(order_.begin(), order_.end(), 0u);
    std::sort(order_.begin(), order_.end(), [this](std::uint32_t a, std::uint32_t b) { return before(a, b); });
}

void SnapshotSorter::mergeWithLast() {
    // Rows found again keep last time's order, which is the order of their
    // keys and, for equal keys, of their places: they were matched in step.
    survivors_.clear();
    for (std::uint32_t last : lastOrder_)
        if (found_[last] != kGone)
            survivors_.push_back(found_[last]);
    std::sort(fresh_.begin(), fresh_.end(), [this](std::uint32_t a, std::uint32_t b) { return before(a, b); });
    order_.clear();
    auto from = survivors_.begin();
    for (std::uint32_t row : fresh_) {
        auto to = std::partition_point(from, survivors_.end(), [this, row](std::uint32_t s) { return before(s, row); });
        order_.insert(order_.end(), from, to);
        order_.push_back(row);
        from = to;
    }
    order_.insert(order_.end(), from, survivors_.end());
}

}  // namespace kestrova
