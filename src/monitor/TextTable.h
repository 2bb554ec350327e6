#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

// Told of every change to a TextTable, after the change has been made.
class TableObserver {
public:
    virtual ~TableObserver() = default;
    virtual void rowInserted() = 0;           // a row now stands at index 0
    virtual void rowDeleted(int row) = 0;     // the row that stood at `row` is gone
    virtual void cellChanged(int row, int column) = 0;
};

// A list of rows of text cells, newest row on top. Rows are inserted only at
// index 0 and may be removed anywhere; cells are compared as exact bytes.
//
// Rows are kept oldest first, so the top insert is an append and a row's
// display index is (rowCount - 1 - position). Each row carries a serial number
// that grows with every insert; it identifies the row for its whole life.
class TextTable {
public:
    explicit TextTable(int columns);
    virtual ~TextTable() = default;
    TextTable(const TextTable&) = delete;
    TextTable& operator=(const TextTable&) = delete;

    int columnCount() const { return columns_; }
    int rowCount() const { return static_cast<int>(rows_.size() - gapSize_); }

    // The whole text of a cell; empty for a cell never set or out of range.
    const std::string& cellText(int row, int column) const;
    // Replaces a cell's text. Writing the text a cell already holds changes
    // nothing and notifies nobody.
    void setCellText(int row, int column, std::string_view text);
    // Inserts an empty row at index 0 whose first cell is `firstCell`; returns 0.
    int insertRow(std::string_view firstCell);
    // Inserts a row at index 0 with all its cells at once; returns 0.
    int insertRow(std::vector<std::string> cells);
    void deleteRow(int row);

    // Walks the rows from the last to row 0 and removes each row for which
    // `remove` returns true; `removed` sees each row just before it goes.
    // One pass, however many rows go, yet everyone told of a removal (the
    // callbacks, the hooks, the observer) finds the table exactly as one
    // deleteRow after another would have left it. The callbacks must not
    // change the table.
    void removeRowsWhere(const std::function<bool(int row)>& remove,
                         const std::function<void(int row)>& removed = {});

    void setObserver(TableObserver* observer) { observer_ = observer; }

    // Serial number of the row at `row`, and back; -1 when there is none.
    std::uint64_t serialAt(int row) const;
    int rowOfSerial(std::uint64_t serial) const;
    // The same, trying first the row at `position` counted from the oldest
    // row (rowCount() - 1 - row), where a row stays until a row below it goes.
    int rowOfSerial(std::uint64_t serial, std::size_t position) const {
        if (gapSize_ == 0 && position < rows_.size() && rows_[position].serial == serial)
            return rowCount() - 1 - static_cast<int>(position);
        return rowOfSerial(serial);
    }

protected:
    // Hooks for tables that keep indexes beside the rows.
    virtual void rowAdded(int /*row*/) {}
    virtual void rowRemoving(int /*row*/) {}
    virtual void cellChanging(int /*row*/, int /*column*/, std::string_view /*newText*/) {}

private:
    struct Slot {
        std::uint64_t serial;
        std::unique_ptr<std::string[]> cells;
    };
    // Where the row shown at `row` is kept in rows_.
    std::size_t slotOf(int row) const {
        const std::size_t position = rows_.size() - gapSize_ - 1 - static_cast<std::size_t>(row);
        return position < gapAt_ ? position : position + gapSize_;
    }
    bool validRow(int row) const { return row >= 0 && row < rowCount(); }

    int columns_;
    std::uint64_t nextSerial_ = 1;
    std::vector<Slot> rows_;  // oldest first
    // While removeRowsWhere compacts rows_, the slots [gapAt_, gapAt_ +
    // gapSize_) hold rows already removed; they are not part of the table.
    std::size_t gapAt_ = 0;
    std::size_t gapSize_ = 0;
    TableObserver* observer_ = nullptr;
};

}  // namespace kestrova
