#include "qt/TextTableModel.h"

#include <QBrush>
#include <QMetaObject>

#include <utility>

namespace kestrova {

namespace {

int alignmentOf(Align align) {
    Qt::Alignment horizontal = Qt::AlignLeft;
    if (align == Align::Right) horizontal = Qt::AlignRight;
    if (align == Align::Centre) horizontal = Qt::AlignHCenter;
    // Handed over as int: every view of this Qt version reads the role that way.
    return static_cast<int>(horizontal | Qt::AlignVCenter);
}

}  // namespace

TextTableModel::TextTableModel(TextTable& table, std::span<const ColumnSpec> columns, QObject* parent)
    : QAbstractTableModel(parent),
      table_(table),
      columns_(columns.begin(), columns.end()),
      foreground_(columns.size()),
      background_(columns.size()) {
    for (const ColumnSpec& column : columns_) {
        const std::string_view header = column.shownHeader();
        headers_.push_back(QString::fromUtf8(header.data(), static_cast<qsizetype>(header.size())));
    }
    table_.setObserver(this);
}

TextTableModel::TextTableModel(ConnectionList& connections, QObject* parent)
    : TextTableModel(connections, kConnectionColumnSpecs, parent) {
    readCell_ = [&connections](std::string& out, int row, int column) { appendCell(out, connections, row, column); };
}

TextTableModel::~TextTableModel() { table_.setObserver(nullptr); }

int TextTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    return table_.rowCount() - pendingTop_ + run_.length() + next_.length();
}

int TextTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TextTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.parent().isValid()) return {};
    const int column = index.column();
    if (column < 0 || column >= columnCount()) return {};
    const int row = tableRowOfViewRow(index.row());
    if (row < 0) return {};
    const auto col = static_cast<std::size_t>(column);
    switch (role) {
    case Qt::DisplayRole: {
        if (readCell_) {
            cell_.clear();
            readCell_(cell_, row, column);
            return QString::fromUtf8(cell_.data(), static_cast<qsizetype>(cell_.size()));
        }
        const std::string& text = table_.cellText(row, column);
        return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    }
    case Qt::TextAlignmentRole:
        return alignmentOf(columns_[col].align);
    case Qt::ForegroundRole:
        return foreground_[col].isValid() ? QVariant(QBrush(foreground_[col])) : QVariant();
    case Qt::BackgroundRole:
        return background_[col].isValid() ? QVariant(QBrush(background_[col])) : QVariant();
    default:
        return {};
    }
}

QVariant TextTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
    const ColumnSpec& spec = columns_[static_cast<std::size_t>(section)];
    if (role == Qt::DisplayRole) return headers_[static_cast<std::size_t>(section)];
    if (role == Qt::TextAlignmentRole) return alignmentOf(spec.align);
    return {};
}

Qt::ItemFlags TextTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void TextTableModel::setColumnForeground(int column, const QColor& color) {
    setColumnColour(foreground_, column, color, Qt::ForegroundRole);
}

void TextTableModel::setColumnBackground(int column, const QColor& color) {
    setColumnColour(background_, column, color, Qt::BackgroundRole);
}

void TextTableModel::setColumnColour(std::vector<QColor>& colours, int column, const QColor& color, int role) {
    if (column < 0 || column >= columnCount()) return;
    QColor& slot = colours[static_cast<std::size_t>(column)];
    if (slot == color) return;
    slot = color;
    const int rows = rowCount();
    if (rows > 0) emit dataChanged(index(0, column), index(rows - 1, column), {role});
}

int TextTableModel::viewRowOfSurvivor(int survivor) const {
    // Deleted runs still occupy view rows, so every run at or above the row
    // pushes it down; the lower run first, since it shifts what the upper meets.
    const Run* first = &run_;
    const Run* second = &next_;
    if (!second->empty() && (first->empty() || second->lo < first->lo)) std::swap(first, second);
    int row = survivor;
    if (!first->empty() && row >= first->lo) row += first->length();
    if (!second->empty() && row >= second->lo) row += second->length();
    return row;
}

int TextTableModel::tableRowOfViewRow(int row) const {
    int survivor = row;
    for (const Run* run : {&run_, &next_}) {
        if (run->empty()) continue;
        if (run->contains(row)) return -1;
        if (run->hi < row) survivor -= run->length();
    }
    return pendingTop_ + survivor;
}

void TextTableModel::rowInserted() {
    ++pendingTop_;
    scheduleFlush();
}

void TextTableModel::rowDeleted(int row) {
    if (row < pendingTop_) {
        // The view never saw it.
        --pendingTop_;
        return;
    }
    const int viewRow = viewRowOfSurvivor(row - pendingTop_);
    if (run_.empty()) {
        run_ = {viewRow, viewRow};
        scheduleFlush();
    } else if (viewRow == run_.lo - 1) {
        run_.lo = viewRow;
    } else if (viewRow == run_.hi + 1) {
        run_.hi = viewRow;
    } else {
        // Only one run fits the bookkeeping: hand the old one to the view and
        // let this deletion start the next.
        next_ = {viewRow, viewRow};
        removeRun();
        scheduleFlush();
    }
}

void TextTableModel::cellChanged(int row, int column) {
    // Rows still held back are read in full when the view is told of them.
    if (row < pendingTop_) return;
    const QModelIndex changed = index(viewRowOfSurvivor(row - pendingTop_), column);
    emit dataChanged(changed, changed);
}

void TextTableModel::removeRun() {
    if (run_.empty()) return;
    beginRemoveRows(QModelIndex(), run_.lo, run_.hi);
    Run following = std::exchange(next_, Run{});
    if (!following.empty() && following.lo > run_.hi) {
        following.lo -= run_.length();
        following.hi -= run_.length();
    }
    run_ = following;
    endRemoveRows();
}

void TextTableModel::flush() {
    removeRun();
    if (pendingTop_ > 0) {
        beginInsertRows(QModelIndex(), 0, pendingTop_ - 1);
        pendingTop_ = 0;
        endInsertRows();
    }
}

void TextTableModel::scheduleFlush() {
    if (flushQueued_) return;
    flushQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            flushQueued_ = false;
            flush();
        },
        Qt::QueuedConnection);
}

}  // namespace kestrova
