#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "SpinUntil.h"
#include "options/ProfileStore.h"
#include "linux/Cp932.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxProfileFile.h"
#include "linux/LinuxVersionInfo.h"
#include "qt/MainWindow.h"
#include "qt/TextTableModel.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

class TestWindow : public MainWindow {
public:
    using MainWindow::MainWindow;
    bool translucent = true;
    bool supportsOpacity() override { return translucent; }
};

class RefusedVersion : public VersionInfo {
public:
    std::optional<SystemVersion> query() override { return SystemVersion{"Plan9", "4", "386"}; }
    bool kernelInterfacesPresent() override { return false; }
};

// The real window over the real connection table, with its profile in a
// directory of its own.
class MainWindowTest : public ::testing::Test {
protected:
    QTemporaryDir directory;
    std::string profilePath = directory.filePath("kestrova.INI").toStdString();
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo realVersion;
    VersionInfo* version = &realVersion;
    std::unique_ptr<LinuxProfileFile> profileFile;
    std::unique_ptr<ProfileStore> profile;
    std::unique_ptr<TestWindow> window;
    std::unique_ptr<MainDialog> dialog;

    void writeProfile(const std::string& text) { std::ofstream(profilePath) << text; }
    std::string readProfile() {
        std::ifstream in(profilePath);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool profileExists() const { return std::filesystem::exists(profilePath); }

    void open(bool translucent = true) {
        profileFile = std::make_unique<LinuxProfileFile>(profilePath);
        profile = std::make_unique<ProfileStore>(*profileFile, cp932ToUtf8);
        window = std::make_unique<TestWindow>(connections, log);
        window->translucent = translucent;
        dialog = std::make_unique<MainDialog>(
            MainDialogParts{*window, connections, log, clock, table, processes, *version, *profile, {}});
        window->attach(dialog.get());
        window->start();
    }
    void TearDown() override {
        if (window) window->close();
        window.reset();
    }

    void waitFor(const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition() && timer.elapsed() < std::chrono::milliseconds(testing::kPatience).count()) QTest::qWait(5);
    }
    void waitForTheFirstTick() { waitFor([&] { return window->windowTitle() != "Kestrova"; }); }

    // Opens the command menu with a right-click on `target`, hands the open
    // menu to `inspect`, and lets the menu end the way `inspect` chose.
    void withCommandMenu(QWidget* target, const std::function<void(QMenu*)>& inspect) {
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            seen = true;
            inspect(menu);
            if (menu->isVisible()) menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), target->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(target, &event);
        EXPECT_TRUE(seen);
        QCoreApplication::sendPostedEvents();  // the chosen command arrives as a message of its own
    }
    void choose(const QString& caption) {
        withCommandMenu(window.get(), [&](QMenu* menu) {
            for (QAction* action : menu->actions())
                if (action->text() == caption) return action->trigger();
            FAIL() << caption.toStdString();
        });
    }
    std::vector<std::string> menuState(QMenu* menu) {
        std::vector<std::string> state;
        for (QAction* action : menu->actions())
            state.push_back(action->isSeparator() ? "-"
                                                  : action->text().toStdString() + (action->isChecked() ? " [x]" : "") +
                                                        (action->isEnabled() ? "" : " (grey)"));
        return state;
    }
};

TEST_F(MainWindowTest, TitleColumnsAndRowsAfterTheFirstTick) {
    open();
    EXPECT_EQ(window->windowTitle(), "Kestrova");
    waitFor([&] { return window->windowTitle() != "Kestrova"; });
    const QString expected = QString::fromUtf8("Kestrova Version 2.00 -- 接続数:%1 -- 更新間隔:100ms --")
                                 .arg(connections.rowCount());
    EXPECT_EQ(window->windowTitle(), expected);
    EXPECT_EQ(window->connectionModel()->rowCount(), connections.rowCount());

    QHeaderView* header = window->connectionView()->header();
    ASSERT_EQ(header->count(), 16);
    const int widths[] = {0, 55, 120, 25, 120, 100, 270, 60, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int column = 0; column < 16; ++column) {
        // The activity column is widened to its totals (tested on its own).
        if (column == colActive)
            EXPECT_GE(header->sectionSize(column), widths[column]);
        else
            EXPECT_EQ(header->sectionSize(column), widths[column]) << column;
        EXPECT_FALSE(header->isSectionHidden(column)) << column;
    }
    EXPECT_TRUE(header->sectionsMovable());
    EXPECT_FALSE(window->connectionView()->isSortingEnabled());
    header->resizeSection(colSeen, 40);  // a hidden column can be widened
    EXPECT_EQ(header->sectionSize(colSeen), 40);
    auto headerText = [&](int column) {
        return window->connectionModel()->headerData(column, Qt::Horizontal).toString().toStdString();
    };
    EXPECT_EQ(headerText(colSource), "せつぞくもと");
    EXPECT_EQ(headerText(colArrow), "");
    EXPECT_EQ(window->connectionModel()->headerData(colActive, Qt::Horizontal, Qt::TextAlignmentRole).toInt() &
                  Qt::AlignHorizontal_Mask,
              Qt::AlignRight);
    EXPECT_EQ(window->logModel()->headerData(1, Qt::Horizontal).toString().toStdString(), "じょうたい");
    EXPECT_EQ(window->logView()->header()->sectionSize(1), 640);
}

// A caption and a sizing frame, but no system menu and so no buttons; only
// the connection list lets its columns be dragged around.
TEST_F(MainWindowTest, FrameWithoutButtonsAndAFixedLogHeader) {
    open();
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
                                  Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
        EXPECT_FALSE(flags & button) << std::hex << button;
    EXPECT_TRUE(window->connectionView()->header()->sectionsMovable());
    EXPECT_FALSE(window->logView()->header()->sectionsMovable());
}

// The log's time column is exactly as wide as its timestamps in our font, the
// activity column shows a ten-digit total whole, and no shown column cuts its
// header; the given widths are kept otherwise.
TEST_F(MainWindowTest, TimestampsAndHeadersShowWhole) {
    open();
    log.append(LocalTime{2004, 5, 12, 8, 3, 9}, "x");
    // A total as long as a 32-bit count gets, behind the default mark.
    connections.insertRow("TCP");
    connections.setCellText(0, colActive, "▼4294967295");
    window->flushModels();
    QHeaderView* logHeader = window->logView()->header();
    // What the item delegate asks for the cells the column holds.
    const QAbstractItemView* logView = window->logView();
    EXPECT_EQ(logHeader->sectionSize(0), logView->sizeHintForColumn(0));
    EXPECT_GT(logHeader->sectionSize(0), 0);
    const QAbstractItemView* connectionView = window->connectionView();
    EXPECT_GE(window->connectionView()->header()->sectionSize(colActive), connectionView->sizeHintForColumn(colActive));
    struct Pane {
        QTreeView* view;
        std::vector<int> given;
    };
    for (const Pane& pane : {Pane{window->connectionView(), {0, 55, 120, 25, 120, 100, 270, 60, 0, 0, 0, 0, 0, 0, 0, 0}},
                             Pane{window->logView(), {120, 640}}}) {
        QHeaderView* header = pane.view->header();
        for (int column = 0; column < header->count(); ++column) {
            SCOPED_TRACE(pane.view->objectName().toStdString() + " column " + std::to_string(column));
            const int given = pane.given[static_cast<std::size_t>(column)];
            if (given == 0) {
                EXPECT_EQ(header->sectionSize(column), 0);
                continue;
            }
            EXPECT_GE(header->sectionSize(column), header->sectionSizeHint(column));
            const bool fitted = (pane.view == window->logView() && column == 0) ||
                                (pane.view == window->connectionView() && column == colActive);
            if (!fitted) {
                EXPECT_EQ(header->sectionSize(column), std::max(given, header->sectionSizeHint(column)));
            }
        }
    }
}

// What the window's timer makes of an odd interval read from the profile:
// at least 10 ms, and a negative one as the longest period there is; the
// title shows the interval as read.
TEST_F(MainWindowTest, OddIntervalsFromTheProfileGiveTheTimerItsLimits) {
    for (auto [stored, period] : {std::pair{0, 10}, std::pair{7, 10}, std::pair{-5, INT_MAX}}) {
        SCOPED_TRACE(stored);
        writeProfile("[1040315]\nnetstatInterval=" + std::to_string(stored) + "\n");
        open();
        waitFor([&] { return dialog->intervalArmed(); });
        EXPECT_EQ(window->timerPeriod(TIMER_REFRESH), period);
        EXPECT_TRUE(window->windowTitle().endsWith(QString::fromUtf8("更新間隔:%1ms --").arg(stored)));
        window->close();
        dialog.reset();
        window.reset();
    }
}

TEST_F(MainWindowTest, ZeroWidthColumnsAtTheEndCanBePulledOpen) {
    open();
    window->resize(1000, 400);
    QHeaderView* header = window->connectionView()->header();
    QWidget* strip = header->viewport();
    const int end = header->sectionViewportPosition(colTotalBytes);
    ASSERT_EQ(end, header->sectionViewportPosition(colPid) + 60);
    const int y = header->height() / 2;
    QTest::mousePress(strip, Qt::LeftButton, {}, QPoint(end + 2, y));
    QTest::mouseMove(strip, QPoint(end + 50, y));
    QTest::mouseRelease(strip, Qt::LeftButton, {}, QPoint(end + 50, y));
    EXPECT_EQ(header->sectionSize(colTotalBytes), 50);
    EXPECT_EQ(header->sectionSize(colPid), 60);
    // The next one sits at the new column's left edge, where the header's
    // own divider handling takes over.
    EXPECT_EQ(header->sectionSize(colRemotePort), 0);
}

TEST_F(MainWindowTest, PanesFollowTheLayoutOnResize) {
    open();
    window->resize(400, 300);
    waitFor([&] { return window->logView()->geometry() == QRect(10, 241, 390, 50); });
    EXPECT_EQ(window->connectionView()->geometry(), QRect(10, 15, 390, 216));
    EXPECT_EQ(window->logView()->geometry(), QRect(10, 241, 390, 50));
    window->resize(100, 100);  // the log's height would be -6: shown empty
    waitFor([&] { return window->logView()->geometry() == QRect(10, 97, 97, 0); });
    EXPECT_EQ(window->logView()->geometry(), QRect(10, 97, 97, 0));
}

TEST_F(MainWindowTest, EnterAndEscEndWithoutWritingTheProfile) {
    const std::string mine = "; kept as it is\r\n[1040315]\r\nalpha=99\r\n";
    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        writeProfile(mine);
        open();
        waitForTheFirstTick();
        choose(QString::fromUtf8("show HostName..."));  // a change that would be saved by exit
        QTest::keyClick(window->connectionView(), key);
        waitFor([&] { return !window->isVisible(); });
        EXPECT_FALSE(window->isVisible()) << key;
        EXPECT_EQ(readProfile(), mine) << key;
        EXPECT_FALSE(window->timerPeriod(TIMER_REFRESH) > 0) << key;
        dialog.reset();
        window.reset();
    }
}

TEST_F(MainWindowTest, MenuShowsTheOptions) {
    struct Case {
        bool translucent;
        int alpha;
        std::vector<std::string> items;
    } cases[] = {
        {false, 180, {"always on Top... [x]", "show HostName...", "-", "check Packet...", "-", "change Active Mark...",
                      "change netstat Interval...", "-", "exit Kestrova..."}},
        {true, 10, {"always on Top... [x]", "show HostName...", "-", "透明じゃなくする...", "透明にする... (grey)", "-",
                    "check Packet...", "-", "change Active Mark...", "change netstat Interval...", "-",
                    "exit Kestrova..."}},
        {true, 250, {"always on Top... [x]", "show HostName...", "-", "透明じゃなくする... (grey)", "透明にする...",
                     "-", "check Packet...", "-", "change Active Mark...", "change netstat Interval...", "-",
                     "exit Kestrova..."}},
        {true, 255, {"always on Top... [x]", "show HostName...", "-", "透明じゃなくする...", "透明にする...", "-",
                     "check Packet...", "-", "change Active Mark...", "change netstat Interval...", "-",
                     "exit Kestrova..."}},
    };
    for (const Case& c : cases) {
        writeProfile("[1040315]\nalpha=" + std::to_string(c.alpha) + "\n");
        open(c.translucent);
        std::vector<std::string> state;
        withCommandMenu(window->logView()->viewport(), [&](QMenu* menu) { state = menuState(menu); });
        EXPECT_EQ(state, c.items) << c.alpha;
        if (c.translucent) {
            EXPECT_NEAR(window->windowOpacity(), (c.alpha & 0xFF) / 255.0, 0.01);
        }
        window->close();
        dialog.reset();
        window.reset();
    }
}

TEST_F(MainWindowTest, EveryCommandThroughTheMenu) {
    open();
    waitForTheFirstTick();
    // The newest line a command wrote: the refresh watches the real table,
    // which other programs change at any moment, so its lines are passed over.
    auto newest = [&] {
        for (int row = 0; row < log.rowCount(); ++row) {
            const std::string& text = log.cellText(row, 1);
            if (text.find("との接続状態を") == std::string::npos && !text.starts_with("プロセスID:(")) return text;
        }
        return std::string();
    };
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    choose("always on Top...");
    EXPECT_EQ(newest(), "常に最上位に表示を解除します。");
    EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    choose("show HostName...");
    EXPECT_EQ(newest(), "ホスト名で表示します。");
    EXPECT_EQ(window->timerPeriod(TIMER_RESOLVE), 10000);
    choose(QString::fromUtf8("透明にする..."));
    EXPECT_EQ(newest(), "透過度を(170)に設定しました。");
    EXPECT_NEAR(window->windowOpacity(), 170 / 255.0, 0.01);
    choose(QString::fromUtf8("透明じゃなくする..."));
    EXPECT_EQ(newest(), "透過度を(180)に設定しました。");
    choose("check Packet...");
    EXPECT_EQ(newest(), "パケットのチェックを開始します。");
    choose("change Active Mark...");
    EXPECT_EQ(dialog->settings().activeMark, "(>з<)");
    choose("change netstat Interval...");
    EXPECT_EQ(newest(), "表示更新間隔を(500)msに設定しました。");
    EXPECT_EQ(window->timerPeriod(TIMER_REFRESH), 500);
    EXPECT_TRUE(window->windowTitle().endsWith(QString::fromUtf8("更新間隔:500ms --")));
    EXPECT_FALSE(profileExists());

    // A dismissed menu changes nothing.
    const std::string before = newest();
    withCommandMenu(window.get(), [](QMenu* menu) { menu->close(); });
    EXPECT_EQ(newest(), before);

    choose("exit Kestrova...");
    waitFor([&] { return !window->isVisible(); });
    EXPECT_FALSE(window->isVisible());
    const std::string saved = readProfile();
    EXPECT_EQ(saved,
              "[1040315]\nalpha=180\nalwaysOnTop=36\nshowHostname=1040315\ncheckPacket=1040315\n"
              "activeMark=(>з<)\nnetstatInterval=500\n");
}

TEST_F(MainWindowTest, ActivityColumnHasItsOwnColour) {
    open();
    waitFor([&] { return connections.rowCount() > 0; });
    ASSERT_GT(window->connectionModel()->rowCount(), 0);
    const QModelIndex active = window->connectionModel()->index(0, colActive);
    EXPECT_EQ(active.data(Qt::ForegroundRole).value<QColor>(), QColor(100, 100, 255));
    EXPECT_FALSE(window->connectionModel()->index(0, colSource).data(Qt::ForegroundRole).isValid());
    EXPECT_FALSE(window->logModel()->index(0, 1).data(Qt::ForegroundRole).isValid());
}

TEST_F(MainWindowTest, RefusedSystemTellsTheUserThenCloses) {
    RefusedVersion refused;
    version = &refused;
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        shown = box->text();
        box->accept();
    });
    open();
    EXPECT_TRUE(shown.startsWith("Plan9 4 386"));
    EXPECT_TRUE(shown.endsWith(QString::fromUtf8("プログラムを終了します。")));
    waitFor([&] { return !window->isVisible(); });
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(profileExists());
}

// Alt+Space opens the window menu wherever the focus is: on the window
// itself or inside either list, which would otherwise take the key.
class WindowMenuKeyTest : public MainWindowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(WindowMenuKeyTest, OpensTheAboutBoxFromWhereverTheFocusIs) {
    open();
    QWidget* target = window.get();
    if (std::string(GetParam()) == "connectionList") target = window->connectionView();
    if (std::string(GetParam()) == "eventLog") target = window->logView();
    // Keys reach the active window only, as on a desktop.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), std::chrono::milliseconds(testing::kPatience).count()));
    target->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), target);
    QString caption;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(menu->objectName(), "windowMenu");
        ASSERT_EQ(menu->actions().size(), 1);
        menu->actions().front()->trigger();
        menu->close();
    });
    // The box comes from a command of its own, whenever the loop takes it.
    const auto closer = testing::whenShown([] { return qobject_cast<QDialog*>(QApplication::activeModalWidget()); },
                                           [&](QDialog* about) {
                                               caption = about->windowTitle();
                                               QTest::keyClick(about, Qt::Key_Escape);
                                           });
    QTest::keyClick(target, Qt::Key_Space, Qt::AltModifier);
    waitFor([&] { return !caption.isEmpty(); });
    EXPECT_EQ(caption.toStdString(), "Kestrovaのﾊﾞｰｼﾞｮﾝ情報");
    // Whatever the Escape posted has come by now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(window->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Focus, WindowMenuKeyTest, ::testing::Values("window", "connectionList", "eventLog"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace kestrova
