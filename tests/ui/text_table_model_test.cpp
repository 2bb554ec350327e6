#include <QAbstractItemModelTester>
#include <QBrush>
#include <QCoreApplication>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "monitor/ConnectionList.h"
#include "monitor/TextTable.h"
#include "qt/TextTableModel.h"
#include "ui/EventLog.h"

namespace kestrova {
namespace {

const std::vector<ColumnSpec> kThreeColumns = {
    {"one", Align::Left, 10},
    {"two", Align::Right, 10},
    {"three", Align::Centre, 10},
};

// The rows a view would hold if it learnt about the model only from its
// signals; `events` logs the row signals as "+first..last" / "-first..last".
class Shadow {
public:
    explicit Shadow(QAbstractItemModel& model) : model_(model) {
        for (int row = 0; row < model.rowCount(); ++row) rows.append(readRow(row));
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, &context_,
                         [this](const QModelIndex&, int first, int last) {
                             events.push_back("+" + std::to_string(first) + ".." + std::to_string(last));
                             for (int row = first; row <= last; ++row) rows.insert(row, readRow(row));
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved, &context_,
                         [this](const QModelIndex&, int first, int last) {
                             events.push_back("-" + std::to_string(first) + ".." + std::to_string(last));
                             if (first < 0 || last >= rows.size()) {
                                 ADD_FAILURE() << "rowsRemoved outside the rows";
                                 return;
                             }
                             rows.remove(first, last - first + 1);
                         });
        QObject::connect(&model, &QAbstractItemModel::dataChanged, &context_,
                         [this](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                             if (!topLeft.isValid() || !bottomRight.isValid() || bottomRight.row() >= rows.size()) {
                                 ADD_FAILURE() << "dataChanged outside the rows";
                                 return;
                             }
                             ++changes;
                             changed.push_back({topLeft.row(), topLeft.column()});
                             for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                                 for (int col = topLeft.column(); col <= bottomRight.column(); ++col)
                                     rows[row][col] = model_.index(row, col).data().toString();
                         });
        auto restart = [this] { ++rebuilds; };
        QObject::connect(&model, &QAbstractItemModel::modelReset, &context_, restart);
        QObject::connect(&model, &QAbstractItemModel::layoutChanged, &context_, restart);
        QObject::connect(&model, &QAbstractItemModel::rowsMoved, &context_, restart);
    }

    QList<QStringList> rows;
    std::vector<std::string> events;
    std::vector<std::pair<int, int>> changed;
    int changes = 0;
    int rebuilds = 0;

private:
    QStringList readRow(int row) const {
        QStringList cells;
        for (int col = 0; col < model_.columnCount(); ++col) cells.append(model_.index(row, col).data().toString());
        return cells;
    }

    QAbstractItemModel& model_;
    QObject context_;
};

QList<QStringList> contentsOf(const TextTable& table, int columns) {
    QList<QStringList> rows;
    for (int row = 0; row < table.rowCount(); ++row) {
        QStringList cells;
        for (int col = 0; col < columns; ++col) cells.append(QString::fromStdString(table.cellText(row, col)));
        rows.append(cells);
    }
    return rows;
}

// Whatever the model shows between flushes must agree with what it told the
// view: rows already deleted read as empty, every other row as the view has it.
void expectConsistent(const TextTableModel& model, const Shadow& shadow) {
    ASSERT_EQ(model.rowCount(), shadow.rows.size());
    for (int row = 0; row < model.rowCount(); ++row) {
        for (int col = 0; col < model.columnCount(); ++col) {
            const QVariant value = model.index(row, col).data();
            if (value.isValid()) {
                ASSERT_EQ(value.toString(), shadow.rows[row][col]) << "row " << row;
            }
        }
    }
}

// Turns the model tester's complaints into test failures.
class ModelTesterMessages {
public:
    ModelTesterMessages() { previous_ = qInstallMessageHandler(&ModelTesterMessages::handle); }
    ~ModelTesterMessages() { qInstallMessageHandler(previous_); }
    static std::vector<std::string>& messages() {
        static std::vector<std::string> all;
        return all;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext& context, const QString& message) {
        if (context.category && std::string(context.category) == "qt.modeltest")
            messages().push_back(message.toStdString());
    }
    QtMessageHandler previous_;
};

void fill(TextTable& table, int rows, const std::string& tag = "r") {
    for (int i = 0; i < rows; ++i)
        table.insertRow({tag + std::to_string(i), "x" + std::to_string(i % 7), "y"});
}

// --- random edits ---------------------------------------------------------

class TextTableModelRandomTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(TextTableModelRandomTest, ViewFedBySignalsAlone_MatchesTable) {
    std::mt19937 rng(GetParam());
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };

    ModelTesterMessages capture;
    ModelTesterMessages::messages().clear();
    TextTable table(3);
    fill(table, pick(40));
    TextTableModel model(table, kThreeColumns);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
    Shadow shadow(model);

    int serial = 0;
    auto insert = [&] {
        ++serial;
        table.insertRow({"n" + std::to_string(serial), "b" + std::to_string(serial % 5), "c"});
    };
    const std::vector<std::string> texts = {"", "a", "b", "c"};

    for (int step = 0; step < 3000; ++step) {
        const int op = pick(100);
        const int rows = table.rowCount();
        if (op < 25) {
            for (int n = 1 + pick(chance(20) ? 40 : 3); n > 0; --n) insert();
        } else if (op < 40 && rows > 0) {
            table.deleteRow(pick(rows));
        } else if (op < 50 && rows > 0) {
            // A block going from either end, as a sweep of closed connections would.
            const int first = pick(rows);
            const int count = 1 + pick(std::min(rows - first, 30));
            if (chance(50)) {
                for (int i = 0; i < count; ++i) table.deleteRow(first);
            } else {
                for (int i = count - 1; i >= 0; --i) table.deleteRow(first + i);
            }
        } else if (op < 58 && rows > 0) {
            const int lo = pick(rows);
            const int hi = lo + pick(rows - lo);
            const int scatter = pick(4);
            table.removeRowsWhere([&](int row) {
                return (row >= lo && row <= hi) || (scatter > 0 && chance(scatter * 5));
            });
        } else if (op < 80 && rows > 0) {
            const int row = pick(rows);
            const int col = pick(3);
            table.setCellText(row, col, chance(30) ? table.cellText(row, col) : texts[static_cast<std::size_t>(pick(4))]);
        } else if (op < 90) {
            // Log-style: every line on top pushes one out at the bottom.
            const int limit = 20 + pick(40);
            for (int n = 1 + pick(60); n > 0; --n) {
                insert();
                if (table.rowCount() > limit) table.deleteRow(limit);
            }
        } else if (op < 95) {
            model.flush();
            ASSERT_EQ(shadow.rows, contentsOf(table, 3)) << "step " << step;
        } else {
            ASSERT_NO_FATAL_FAILURE(expectConsistent(model, shadow)) << "step " << step;
        }
        if (table.rowCount() > 400) table.removeRowsWhere([&](int) { return chance(50); });
    }
    model.flush();
    EXPECT_EQ(shadow.rows, contentsOf(table, 3));
    EXPECT_EQ(shadow.rebuilds, 0);
    EXPECT_TRUE(ModelTesterMessages::messages().empty()) << ModelTesterMessages::messages().front();
}

INSTANTIATE_TEST_SUITE_P(Seeds, TextTableModelRandomTest, ::testing::Values(1u, 2u, 3u, 17u, 2024u, 99991u));

// A view asks rowCount() from inside the row signals (selection, scroll bar,
// header); it must see the count before the change in the about-to signals
// and the count after it in the done signals, as if rows came one by one.
class RowCountChecker {
public:
    explicit RowCountChecker(QAbstractItemModel& model) : model_(model), expected_(model.rowCount()) {
        auto check = [this](const char* when, int expected) {
            ++signals_;
            if (model_.rowCount() != expected)
                ADD_FAILURE() << when << ": rowCount " << model_.rowCount() << ", expected " << expected;
        };
        QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeRemoved, &context_,
                         [this, check](const QModelIndex&, int first, int last) {
                             check("about to remove", expected_);
                             if (first < 0 || last >= expected_) ADD_FAILURE() << "removal past the rows";
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved, &context_,
                         [this, check](const QModelIndex&, int first, int last) {
                             expected_ -= last - first + 1;
                             check("removed", expected_);
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsAboutToBeInserted, &context_,
                         [this, check](const QModelIndex&, int, int) { check("about to insert", expected_); });
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, &context_,
                         [this, check](const QModelIndex&, int first, int last) {
                             expected_ += last - first + 1;
                             check("inserted", expected_);
                         });
    }
    int signalCount() const { return signals_; }

private:
    QAbstractItemModel& model_;
    int expected_;
    int signals_ = 0;
    QObject context_;
};

class TextTableModelSweepTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(TextTableModelSweepTest, EverySignalSeesTheRowCountOfOneByOneRemoval) {
    std::mt19937 rng(GetParam());
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    TextTable table(3);
    fill(table, 10);
    TextTableModel model(table, kThreeColumns);
    RowCountChecker checker(model);
    Shadow shadow(model);

    // The plainest scattered sweep first: 10 rows, rows 9, 5 and 1 go.
    table.removeRowsWhere([](int row) { return row == 9 || row == 5 || row == 1; });
    model.flush();
    ASSERT_EQ(shadow.rows, contentsOf(table, 3));

    for (int round = 0; round < 200; ++round) {
        fill(table, pick(30), "n" + std::to_string(round) + "-");
        if (pick(2)) model.flush();
        const int percent = 5 + pick(60);
        table.removeRowsWhere([&](int) { return pick(100) < percent; });
        if (pick(3) == 0) continue;  // let the next round pile up more
        model.flush();
        ASSERT_EQ(shadow.rows, contentsOf(table, 3)) << "round " << round;
    }
    model.flush();
    EXPECT_EQ(shadow.rows, contentsOf(table, 3));
    EXPECT_GT(checker.signalCount(), 200);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TextTableModelSweepTest, ::testing::Values(1u, 5u, 77u, 4242u));

// --- bursts: how many notifications the view gets ---------------------------

struct BurstCase {
    const char* name;
    int shownRows;
    std::function<void(TextTable&)> burst;
    std::vector<std::string> events;  // during the burst and its flush
    std::size_t beforeFlush = 0;      // how many of them come before the flush
};
void PrintTo(const BurstCase& c, std::ostream* os) { *os << c.name; }

class TextTableModelBurstTest : public ::testing::TestWithParam<BurstCase> {};

TEST_P(TextTableModelBurstTest, FlushCoalescesTheBurst) {
    const BurstCase& c = GetParam();
    TextTable table(3);
    fill(table, c.shownRows, "old");
    TextTableModel model(table, kThreeColumns);
    Shadow shadow(model);

    c.burst(table);
    EXPECT_EQ(shadow.events.size(), c.beforeFlush);
    model.flush();

    EXPECT_EQ(shadow.events, c.events);
    EXPECT_EQ(shadow.rows, contentsOf(table, 3));
    EXPECT_EQ(shadow.rebuilds, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, TextTableModelBurstTest,
    ::testing::Values(
        BurstCase{"InsertsIntoEmpty", 0, [](TextTable& t) { fill(t, 10000); }, {"+0..9999"}},
        BurstCase{"InsertsAboveShownRows", 50, [](TextTable& t) { fill(t, 30000); }, {"+0..29999"}},
        BurstCase{"BottomUpBlockRemoval", 10000,
                  [](TextTable& t) { t.removeRowsWhere([](int row) { return row >= 2000 && row < 8000; }); },
                  {"-2000..7999"}},
        BurstCase{"RemoveEverything", 10000, [](TextTable& t) { t.removeRowsWhere([](int) { return true; }); },
                  {"-0..9999"}},
        BurstCase{"TopDownDeletes", 1000,
                  [](TextTable& t) {
                      for (int i = 0; i < 500; ++i) t.deleteRow(0);
                  },
                  {"-0..499"}},
        BurstCase{"InsertsThenShownBlockRemoved", 100,
                  [](TextTable& t) {
                      fill(t, 500, "new");
                      t.removeRowsWhere([](int row) { return row >= 510 && row < 560; });
                  },
                  {"-10..59", "+0..499"}},
        BurstCase{"HeldBackRowsRemovedUnseen", 100,
                  [](TextTable& t) {
                      fill(t, 300, "new");
                      t.removeRowsWhere([](int row) { return row < 300 || row == 350; });
                  },
                  {"-50..50"}},
        BurstCase{"LogPastItsLimit", 100,
                  [](TextTable& t) {
                      for (int i = 0; i < 20000; ++i) {
                          t.insertRow({"line" + std::to_string(i), "text"});
                          t.deleteRow(100);
                      }
                  },
                  {"-0..99", "+0..99"}},
        BurstCase{"TwoSeparateBlocks", 1000,
                  [](TextTable& t) {
                      t.removeRowsWhere([](int row) { return (row >= 700 && row < 800) || (row >= 100 && row < 300); });
                  },
                  {"-700..799", "-100..299"},
                  1}),
    [](const ::testing::TestParamInfo<BurstCase>& info) { return std::string(info.param.name); });

TEST(TextTableModelTest, EventLogAppendsCostAFewNotificationsPerFlush) {
    EventLog log;
    TextTableModel model(log, EventLog::kColumns);
    Shadow shadow(model);
    const LocalTime time{2024, 5, 6, 7, 8, 9};
    for (int round = 0; round < 20; ++round) {
        shadow.events.clear();
        for (int i = 0; i < 1000; ++i) log.append(time, "line " + std::to_string(round * 1000 + i));
        model.flush();
        EXPECT_LE(shadow.events.size(), 2u) << "round " << round;
        ASSERT_EQ(shadow.rows, contentsOf(log, 2)) << "round " << round;
    }
}

// --- changed cells ----------------------------------------------------------

struct CellCase {
    const char* name;
    std::function<void(TextTable&)> before;  // after the 10 shown rows, before the write
    int row, column;
    bool sameText;
    std::vector<std::pair<int, int>> changed;  // (view row, column) reported at once
};
void PrintTo(const CellCase& c, std::ostream* os) { *os << c.name; }

class TextTableModelCellTest : public ::testing::TestWithParam<CellCase> {};

TEST_P(TextTableModelCellTest, ReportsTheCellWhereTheViewHasIt) {
    const CellCase& c = GetParam();
    TextTable table(3);
    fill(table, 10);
    TextTableModel model(table, kThreeColumns);
    Shadow shadow(model);
    c.before(table);

    table.setCellText(c.row, c.column, c.sameText ? table.cellText(c.row, c.column) : std::string("changed"));
    EXPECT_EQ(shadow.changed, c.changed);
    ASSERT_NO_FATAL_FAILURE(expectConsistent(model, shadow));

    model.flush();
    EXPECT_EQ(shadow.rows, contentsOf(table, 3));
}

INSTANTIATE_TEST_SUITE_P(
    Cells, TextTableModelCellTest,
    ::testing::Values(
        CellCase{"SameTextIsSilent", [](TextTable&) {}, 3, 1, true, {}},
        CellCase{"ShownRow", [](TextTable&) {}, 3, 1, false, {{3, 1}}},
        CellCase{"BelowHeldBackRows", [](TextTable& t) { fill(t, 4, "new"); }, 7, 2, false, {{3, 2}}},
        CellCase{"HeldBackRowWaitsForFlush", [](TextTable& t) { fill(t, 4, "new"); }, 2, 0, false, {}},
        CellCase{"BelowDeletedRun",
                 [](TextTable& t) {
                     t.deleteRow(2);
                     t.deleteRow(2);
                 },
                 5, 0, false, {{7, 0}}},
        CellCase{"AboveDeletedRun", [](TextTable& t) { t.deleteRow(6); }, 3, 0, false, {{3, 0}}},
        CellCase{"HeldBackAndDeleted",
                 [](TextTable& t) {
                     t.deleteRow(4);
                     fill(t, 3, "new");
                 },
                 8, 1, false, {{6, 1}}}),
    [](const ::testing::TestParamInfo<CellCase>& info) { return std::string(info.param.name); });

// --- the rest -----------------------------------------------------------------

TEST(TextTableModelTest, EventLoopFlushesWithoutBeingAsked) {
    TextTable table(3);
    fill(table, 20);
    auto model = std::make_unique<TextTableModel>(table, kThreeColumns);
    Shadow shadow(*model);
    // Inserts alone, deletes alone: each must get the view its flush.
    fill(table, 5, "new");
    QCoreApplication::processEvents();
    EXPECT_EQ(shadow.rows, contentsOf(table, 3));
    table.deleteRow(10);
    table.deleteRow(10);
    QCoreApplication::processEvents();
    EXPECT_EQ(shadow.rows, contentsOf(table, 3));

    model.reset();
    fill(table, 3, "after");  // must not reach the destroyed model
    table.deleteRow(0);
    QCoreApplication::processEvents();
}

TEST(TextTableModelTest, PresentsColumnsForTheView) {
    ConnectionList list;
    list.insertRow({"TCP", "1", "こんにちは"});
    TextTableModel model(list, kConnectionColumnSpecs);
    ASSERT_EQ(model.columnCount(), kConnectionColumns);

    EXPECT_EQ(model.index(0, colSource).data().toString(), QString::fromUtf8("こんにちは"));
    EXPECT_EQ(model.headerData(colPid, Qt::Horizontal).toString(), QString::fromUtf8("あいでぃ"));
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
    EXPECT_FALSE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsEditable));
    EXPECT_TRUE(model.flags(model.index(0, 0)).testFlag(Qt::ItemIsSelectable));

    const struct {
        int column;
        int horizontal;
    } alignments[] = {{colProtocol, Qt::AlignLeft}, {colActive, Qt::AlignRight}, {colArrow, Qt::AlignHCenter}};
    for (const auto& a : alignments) {
        EXPECT_EQ(model.index(0, a.column).data(Qt::TextAlignmentRole).toInt(), a.horizontal | Qt::AlignVCenter);
        EXPECT_EQ(model.headerData(a.column, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
                  a.horizontal | Qt::AlignVCenter);
    }

    Shadow shadow(model);
    model.setColumnForeground(colState, QColor(Qt::red));
    model.setColumnBackground(colState, QColor(Qt::black));
    EXPECT_EQ(shadow.changes, 2);  // the view must repaint the column
    EXPECT_EQ(model.index(0, colState).data(Qt::ForegroundRole).value<QBrush>().color(), QColor(Qt::red));
    EXPECT_EQ(model.index(0, colState).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(Qt::black));
    EXPECT_FALSE(model.index(0, colPid).data(Qt::ForegroundRole).isValid());
    EXPECT_FALSE(model.index(0, colPid).data(Qt::BackgroundRole).isValid());
    model.setColumnForeground(colState, QColor());
    EXPECT_FALSE(model.index(0, colState).data(Qt::ForegroundRole).isValid());
}

}  // namespace
}  // namespace kestrova
