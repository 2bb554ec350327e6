#pragma once
#include <cstdint>
#include <vector>

#include "platform/ConnectionTable.h"

namespace kestrova {

// Sorts each snapshot into inSnapshotOrder, keeping rows with equal keys in
// the order they came (as std::stable_sort would). The kernel lists its
// sockets in the same order dump after dump, so a row found where it was
// last time keeps its place among the others and only the rows that are
// new need sorting: a table that hardly changed costs one pass instead of
// a sort.
class SnapshotSorter {
public:
    // The buffer to fill with the next snapshot's rows, in the kernel's order.
    std::vector<TcpRow>& next() {
        next_.clear();
        return next_;
    }
    // Fills `sorted` with the rows of next(), sorted.
    void sort(std::vector<TcpRow>& sorted);

private:
    // (key, position in next_), the order being sorted by. Keys are made
    // afresh rather than kept beside the rows: a table that hardly changed
    // needs few, and a key is several times the size of its row's share of
    // the rest.
    bool before(std::uint32_t a, std::uint32_t b) const {
        const SnapshotKey keyA = snapshotKey(next_[a]), keyB = snapshotKey(next_[b]);
        return keyA != keyB ? keyA < keyB : a < b;
    }
    // Matches next_ against last_ in step; false when too much moved for
    // the last order to help.
    bool matchLast();
    void sortAfresh();
    void mergeWithLast();

    std::vector<TcpRow> next_, last_;
    std::vector<std::uint32_t> order_, lastOrder_;  // sorted positions
    // Scratch: the position in next_ of each row of last_ found again, and
    // the positions of the rows that are new.
    std::vector<std::uint32_t> found_, fresh_, survivors_;
};

}  // namespace kestrova
