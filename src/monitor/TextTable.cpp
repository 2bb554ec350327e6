#include "monitor/TextTable.h"

#include <algorithm>

namespace kestrova {

namespace {
const std::string kEmpty;
}

TextTable::TextTable(int columns) : columns_(columns) {}

const std::string& TextTable::cellText(int row, int column) const {
    if (!validRow(row) || column < 0 || column >= columns_) return kEmpty;
    return rows_[slotOf(row)].cells[column];
}

void TextTable::setCellText(int row, int column, std::string_view text) {
    if (!validRow(row) || column < 0 || column >= columns_) return;
    std::string& cell = rows_[slotOf(row)].cells[column];
    if (cell == text) return;
    cellChanging(row, column, text);
    cell.assign(text);
    if (observer_) observer_->cellChanged(row, column);
}

int TextTable::insertRow(std::string_view firstCell) {
    std::vector<std::string> cells(static_cast<std::size_t>(columns_));
    if (columns_ > 0) cells[0].assign(firstCell);
    return insertRow(std::move(cells));
}

int TextTable::insertRow(std::vector<std::string> cells) {
    auto storage = std::make_unique<std::string[]>(static_cast<std::size_t>(columns_));
    const std::size_t n = std::min(cells.size(), static_cast<std::size_t>(columns_));
    for (std::size_t i = 0; i < n; ++i) storage[i] = std::move(cells[i]);
    rows_.push_back(Slot{nextSerial_++, std::move(storage)});
    rowAdded(0);
    if (observer_) observer_->rowInserted();
    return 0;
}

void TextTable::deleteRow(int row) {
    if (!validRow(row)) return;
    rowRemoving(row);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(slotOf(row)));
    if (observer_) observer_->rowDeleted(row);
}

void TextTable::removeRowsWhere(const std::function<bool(int row)>& remove,
                                const std::function<void(int row)>& removed) {
    // The last row is the oldest, slot 0. Removing a row never changes the
    // display index of the rows above it, so each row goes with the index it
    // has at that moment. The rows kept so far move down to close the gap
    // as the walk goes, and the gap is left out of every lookup, so the
    // table shrinks by one with each removal as deleteRow would.
    const std::size_t count = rows_.size();
    gapAt_ = 0;
    gapSize_ = 0;
    for (std::size_t slot = 0; slot < count; ++slot) {
        const int row = static_cast<int>(count - 1 - slot);
        if (remove(row)) {
            if (removed) removed(row);
            rowRemoving(row);
            rows_[slot].cells.reset();
            ++gapSize_;
            if (observer_) observer_->rowDeleted(row);
            continue;
        }
        if (gapSize_ != 0) rows_[gapAt_] = std::move(rows_[slot]);
        ++gapAt_;
    }
    rows_.resize(gapAt_);
    gapAt_ = 0;
    gapSize_ = 0;
}

std::uint64_t TextTable::serialAt(int row) const { return validRow(row) ? rows_[slotOf(row)].serial : 0; }

int TextTable::rowOfSerial(std::uint64_t serial) const {
    // Serials grow from slot 0 upwards on both sides of a gap.
    auto find = [serial](auto first, auto last) {
        auto it = std::lower_bound(first, last, serial,
                                   [](const Slot& slot, std::uint64_t s) { return slot.serial < s; });
        return it != last && it->serial == serial ? it : last;
    };
    const auto gapBegin = rows_.begin() + static_cast<std::ptrdiff_t>(gapAt_);
    const auto gapEnd = gapBegin + static_cast<std::ptrdiff_t>(gapSize_);
    std::size_t position = 0;
    if (auto it = find(rows_.begin(), gapBegin); it != gapBegin) {
        position = static_cast<std::size_t>(it - rows_.begin());
    } else if (auto after = find(gapEnd, rows_.end()); after != rows_.end()) {
        position = static_cast<std::size_t>(after - rows_.begin()) - gapSize_;
    } else {
        return -1;
    }
    return rowCount() - 1 - static_cast<int>(position);
}

}  // namespace kestrova
