#pragma once
#include <QAbstractTableModel>
#include <QColor>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "monitor/ConnectionList.h"
#include "monitor/TextTable.h"

namespace kestrova {

// Shows one TextTable in a Qt item view.
//
// The model lags the table on purpose: rows inserted at the top and rows
// deleted from a single contiguous stretch are only counted as they happen,
// and flush() hands them to the view in one begin/end pair each. A refresh
// that inserts tens of thousands of rows, or a log that inserts at the top and
// drops its bottom line thousands of times, then costs the view a couple of
// notifications instead of one per row. What the model reports in between is
// always consistent with what it has told the view so far: rows not yet
// inserted are invisible, and rows already gone from the table stay in place
// as empty rows until the flush removes them.
//
// Changed cells of rows the view already has are reported at once. A flush
// is queued on the event loop as soon as anything is held back, so nothing
// waits past the current event; callers may flush earlier.
class TextTableModel : public QAbstractTableModel, private TableObserver {
    Q_OBJECT
public:
    TextTableModel(TextTable& table, std::span<const ColumnSpec> columns, QObject* parent = nullptr);
    // The connection rows, with the texts ConnectionCells makes of them.
    explicit TextTableModel(ConnectionList& connections, QObject* parent = nullptr);
    ~TextTableModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Draws one column in its own colours; an invalid QColor returns the
    // column to the view's palette.
    void setColumnForeground(int column, const QColor& color);
    void setColumnBackground(int column, const QColor& color);

    // Tells the view about every row held back so far.
    void flush();

private:
    // A stretch of rows the view still shows but the table no longer has, in
    // the view's row numbers.
    struct Run {
        int lo = 0;
        int hi = -1;
        bool empty() const { return hi < lo; }
        int length() const { return empty() ? 0 : hi - lo + 1; }
        bool contains(int row) const { return row >= lo && row <= hi; }
    };

    void rowInserted() override;
    void rowDeleted(int row) override;
    void cellChanged(int row, int column) override;

    // Table rows below the held-back top, counted from the first of them, to
    // view rows, and view rows back to table rows (-1 inside a deleted run).
    int viewRowOfSurvivor(int survivor) const;
    int tableRowOfViewRow(int row) const;
    void removeRun();
    void scheduleFlush();
    void setColumnColour(std::vector<QColor>& colours, int column, const QColor& color, int role);

    TextTable& table_;
    // Appends a cell's shown text; none: the text the table keeps.
    std::function<void(std::string& out, int row, int column)> readCell_;
    mutable std::string cell_;  // scratch for readCell_
    std::vector<ColumnSpec> columns_;
    std::vector<QString> headers_;  // as the user reads them
    std::vector<QColor> foreground_;
    std::vector<QColor> background_;

    int pendingTop_ = 0;  // rows at the table's top the view has not been told of
    Run run_;             // the one deleted stretch waiting for a flush
    // Only while rowDeleted makes room for a deletion that does not touch
    // run_: that deletion, kept apart so the rows stay consistent while run_
    // is handed to the view.
    Run next_;
    bool flushQueued_ = false;
};

}  // namespace kestrova
