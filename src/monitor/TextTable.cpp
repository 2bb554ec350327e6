#include "monitor/TextTable.h"

#include <algorithm>

namespace kestrova {

namespace {
const std::string kEmpty;
}

TextTable::TextTable(int columns) : columns_(columns) {}

const std::string& TextTable::cellText(int row, int column) const {
    if (!validRow(row) || column < 0 || column >= columns_) return kEmpty;
    const Slot& slot = rows_[positionOf(row)];
    // A slot is empty only while removeRowsWhere compacts the rows.
    return slot.cells ? slot.cells[column] : kEmpty;
}

void TextTable::setCellText(int row, int column, std::string_view text) {
    if (!validRow(row) || column < 0 || column >= columns_) return;
    std::string& cell = rows_[positionOf(row)].cells[column];
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
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(positionOf(row)));
    if (observer_) observer_->rowDeleted(row);
}

void TextTable::removeRowsWhere(const std::function<bool(int row)>& remove,
                                const std::function<void(int row)>& removed) {
    // The last row is the oldest, position 0. Removing a row never changes the
    // display index of the rows above it, so each row is told with the index
    // it has at the moment it goes, exactly as one deleteRow after another.
    const std::size_t count = rows_.size();
    std::size_t kept = 0;
    for (std::size_t pos = 0; pos < count; ++pos) {
        const int row = static_cast<int>(count - 1 - pos);
        if (remove(row)) {
            if (removed) removed(row);
            rowRemoving(row);
            rows_[pos].cells.reset();
            if (observer_) observer_->rowDeleted(row);
            continue;
        }
        if (kept != pos) rows_[kept] = std::move(rows_[pos]);
        ++kept;
    }
    rows_.resize(kept);
}

std::uint64_t TextTable::serialAt(int row) const {
    return validRow(row) ? rows_[positionOf(row)].serial : 0;
}

int TextTable::rowOfSerial(std::uint64_t serial) const {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), serial,
                               [](const Slot& slot, std::uint64_t s) { return slot.serial < s; });
    if (it == rows_.end() || it->serial != serial) return -1;
    return rowCount() - 1 - static_cast<int>(it - rows_.begin());
}

}  // namespace kestrova
