// The real window in the language of the environment it runs in: ctest runs
// this program under LANG=en_US.UTF-8, C.UTF-8 and ja_JP.UTF-8, and
// KESTROVA_TEST_LANGUAGE says which texts that environment must show.
#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "../../integration/LoopbackSockets.h"
#include "../JapaneseText.h"
#include "../SpinUntil.h"
#include "linux/Cp932.h"
#include "linux/LinuxClock.h"
#include "linux/LinuxConnectionTable.h"
#include "linux/LinuxProcessInfo.h"
#include "linux/LinuxProfileFile.h"
#include "linux/LinuxVersionInfo.h"
#include "options/ProfileStore.h"
#include "qt/MainWindow.h"
#include "qt/TextTableModel.h"
#include "qt/Translation.h"
#include "ui/Commands.h"
#include "ui/MainDialog.h"

namespace kestrova {
namespace {

using testing::hasJapanese;

bool english() { return qgetenv("KESTROVA_TEST_LANGUAGE") == "en"; }

// What the window shows in each language, written out in full.
struct Texts {
    QStringList headers, logHeaders, menu;
    QString aboutEntry, aboutCaption;
    const char *title, *added, *removed, *process;
    std::vector<std::string> options;
};

const Texts kJapanese = {
    {"ぷろとこる", "あくちぶ", "せつぞくもと", "", "せつぞくさき", "じょうたい", "つないでるひと", "あいでぃ",
     "（゜Д゜）", "元IP", "元ホスト名", "元ポート", "先IP", "先ホスト名", "先ポート", "通信総データサイズ"},
    {"じかん", "じょうたい"},
    {"always on Top...", "show HostName...", "-", "透明じゃなくする...", "透明にする...", "-", "check Packet...", "-",
     "change Active Mark...", "change netstat Interval...", "-", "exit Kestrova..."},
    "Kestrova のﾊﾞｰｼﾞｮﾝ情報(&A)...",
    "Kestrovaのﾊﾞｰｼﾞｮﾝ情報",
    "Kestrova Version 2.00 -- 接続数:%1 -- 更新間隔:100ms --",
    "(%1)の(%2)との接続状態を(ESTABLISHED)で新規追加しました。",
    "(%1)の(%2)との接続状態を破棄しました。",
    "プロセスID:(%1)→プログラム名:(%2)",
    {"常に最上位に表示を解除します。", "常に最上位に表示します。", "ホスト名で表示します。", "IPアドレスで表示します。",
     "透過度を(190)に設定しました。", "表示更新間隔を(500)msに設定しました。"},
};

const Texts kEnglish = {
    {"Protocol", "Active", "Local", "", "Remote", "State", "Process", "PID", "Seen", "Local IP", "Local Host",
     "Local Port", "Remote IP", "Remote Host", "Remote Port", "Total Bytes"},
    {"Time", "Event"},
    {"always on Top...", "show HostName...", "-", "less Transparent...", "more Transparent...", "-", "check Packet...",
     "-", "change Active Mark...", "change netstat Interval...", "-", "exit Kestrova..."},
    "&About Kestrova...",
    "About Kestrova",
    "Kestrova Version 2.00 -- Connections:%1 -- Interval:100ms --",
    "(%1): connection with (%2) added as (ESTABLISHED).",
    "(%1): connection with (%2) removed.",
    "Process ID:(%1)→Program:(%2)",
    {"No longer always on top.", "Always on top.", "Showing host names.", "Showing IP addresses.",
     "Opacity set to (190).", "Refresh interval set to (500)ms."},
};

const Texts& expected() { return english() ? kEnglish : kJapanese; }

std::string fill(const char* pattern, const std::string& a, const std::string& b) {
    return QString::fromUtf8(pattern).arg(QString::fromStdString(a), QString::fromStdString(b)).toStdString();
}

// Every line the log receives: the pane keeps only the newest 100, and a
// first tick on a busy machine logs more than that.
class AllLines : public LogListener {
public:
    std::vector<std::string> lines;
    void logged(const LocalTime&, const LogEvent& event) override { lines.emplace_back(event.text); }
};

class WindowLanguageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(userTextLanguage(), english() ? TextLanguage::English : TextLanguage::Source);
        ASSERT_TRUE(useTextLanguage(userTextLanguage()));
    }

    QTemporaryDir directory;
    std::string profilePath = directory.filePath("kestrova.INI").toStdString();
    ConnectionList connections;
    EventLog log;
    LinuxClock clock;
    LinuxConnectionTable table;
    LinuxProcessInfo processes;
    LinuxVersionInfo version;
    std::unique_ptr<LinuxProfileFile> profileFile;
    std::unique_ptr<ProfileStore> profile;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<MainDialog> dialog;
    AllLines all;

    void open() {
        close();
        profileFile = std::make_unique<LinuxProfileFile>(profilePath, directory.path().toStdString());
        profile = std::make_unique<ProfileStore>(*profileFile, cp932ToUtf8);
        window = std::make_unique<MainWindow>(connections, log);
        dialog = std::make_unique<MainDialog>(
            MainDialogParts{*window, connections, log, clock, table, processes, version, *profile, {}, nullptr, nullptr,
                            nullptr, nullptr, LOOKUP_DEADLINE, &all});
        window->attach(dialog.get());
        window->start();
        waitFor([&] { return window->windowTitle() != "Kestrova"; });
    }
    void close() {
        if (window) window->close();
        window.reset();
        dialog.reset();
    }
    void TearDown() override { close(); }

    void waitFor(const std::function<bool()>& condition) {
        QElapsedTimer timer;
        timer.start();
        while (!condition() && timer.elapsed() < std::chrono::milliseconds(testing::kPatience).count()) QTest::qWait(5);
    }
    // Posted as the menu posts it, and run before this returns.
    void command(CommandCode code) {
        window->postSysCommand(code);
        QCoreApplication::sendPostedEvents();
    }

    bool logged(const std::string& line) const {
        return std::find(all.lines.begin(), all.lines.end(), line) != all.lines.end();
    }

    QStringList commandMenu() {
        QStringList captions;
        QTimer::singleShot(0, [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu) return;
            for (QAction* action : menu->actions()) captions << (action->isSeparator() ? "-" : action->text());
            menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), window->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(window.get(), &event);
        QCoreApplication::sendPostedEvents();  // the dismissed menu's command
        return captions;
    }
};

TEST_F(WindowLanguageTest, TitleHeadersMenusAndAboutBox) {
    open();
    EXPECT_EQ(window->windowTitle(), QString::fromUtf8(expected().title).arg(connections.rowCount()));

    QStringList headers, logHeaders;
    for (int column = 0; column < kConnectionColumns; ++column)
        headers << window->connectionModel()->headerData(column, Qt::Horizontal).toString();
    for (int column = 0; column < 2; ++column)
        logHeaders << window->logModel()->headerData(column, Qt::Horizontal).toString();
    EXPECT_EQ(headers, expected().headers);
    EXPECT_EQ(logHeaders, expected().logHeaders);
    // Each shown header fits the width it is given, as the Japanese ones
    // do: the window does not have to widen a column for it.
    for (int column = 0; column < kConnectionColumns; ++column) {
        const int given = kConnectionColumnSpecs[static_cast<std::size_t>(column)].width;
        if (given > 0) {
            EXPECT_LE(window->connectionView()->header()->sectionSizeHint(column), given) << column;
        }
    }
    EXPECT_LE(window->logView()->header()->sectionSizeHint(1), EventLog::kColumns[1].width);

    EXPECT_EQ(commandMenu(), expected().menu);

    QString entry, caption;
    QStringList labels;
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get(), std::chrono::milliseconds(testing::kPatience).count()));
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 1);
        entry = menu->actions().front()->text();
        menu->actions().front()->trigger();
        menu->close();
    });
    // The box comes from a command of its own, whenever the loop takes it.
    const auto closer = testing::whenShown([] { return qobject_cast<QDialog*>(QApplication::activeModalWidget()); },
                                           [&](QDialog* about) {
                                               caption = about->windowTitle();
                                               for (QLabel* label : about->findChildren<QLabel*>())
                                                   if (!label->text().isEmpty()) labels << label->text();
                                               QTest::keyClick(about, Qt::Key_Escape);
                                           });
    QTest::keyClick(window.get(), Qt::Key_Space, Qt::AltModifier);
    waitFor([&] { return !caption.isEmpty(); });
    EXPECT_EQ(entry, expected().aboutEntry);
    EXPECT_EQ(caption, expected().aboutCaption);
    ASSERT_FALSE(labels.isEmpty());

    if (english()) {
        for (const QString& text : headers + logHeaders + commandMenu() + labels + QStringList{window->windowTitle(), entry, caption})
            EXPECT_FALSE(hasJapanese(text)) << text.toStdString();
    }
}

TEST_F(WindowLanguageTest, LinesOfALoopbackConnectionAndOfTheCommands) {
    using namespace kestrova::testing;
    Fd listener = listenOnLoopback();
    const std::uint16_t port = localPort(listener.get());
    Fd client = connectTo(port);
    Fd accepted(accept(listener.get(), nullptr, nullptr));
    const std::string program = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string remote = "127.0.0.1:" + std::to_string(port);
    const std::string added = fill(expected().added, program, remote);
    const std::string process = fill(expected().process, std::to_string(getpid()), program);
    open();
    waitFor([&] { return logged(added); });
    EXPECT_TRUE(logged(added));
    EXPECT_TRUE(logged(process));

    client.reset();
    accepted.reset();
    listener.reset();
    const std::string removed = fill(expected().removed, program, remote);
    waitFor([&] { return logged(removed); });
    EXPECT_TRUE(logged(removed));

    for (CommandCode code : {CMD_ALWAYS_ON_TOP, CMD_ALWAYS_ON_TOP, CMD_SHOW_HOSTNAME, CMD_SHOW_HOSTNAME,
                               CMD_LESS_TRANSPARENT, CMD_CYCLE_INTERVAL})
        command(code);
    std::vector<std::string> options;
    for (const std::string& line : all.lines)
        if (std::find(expected().options.begin(), expected().options.end(), line) != expected().options.end())
            options.push_back(line);
    EXPECT_EQ(options, expected().options);

    if (english()) {
        for (const std::string& line : all.lines) EXPECT_FALSE(hasJapanese(line)) << line;
    }
    // A typical line of each kind fits the log's column in our font.
    for (const char* pattern : {expected().added, expected().removed})
        EXPECT_LE(cellWidth(window->logView(), QString::fromStdString(fill(pattern, "/usr/lib/firefox-esr/firefox-esr",
                                                        "93.184.216.34:443"))),
                  EventLog::kColumns[1].width);
}

TEST_F(WindowLanguageTest, AProfileWrittenInOneLanguageReadsTheSameInTheOther) {
    auto readProfile = [&] {
        std::ifstream in(profilePath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    open();
    for (CommandCode code : {CMD_CYCLE_MARK, CMD_CYCLE_MARK, CMD_CYCLE_MARK, CMD_CYCLE_INTERVAL,
                               CMD_ALWAYS_ON_TOP, CMD_LESS_TRANSPARENT, CMD_SHOW_HOSTNAME})
        command(code);
    const Settings written = dialog->settings();
    ASSERT_EQ(written.activeMark, "これ");
    command(CMD_EXIT);
    waitFor([&] { return !window->isVisible(); });
    const std::string stored = readProfile();
    ASSERT_FALSE(stored.empty());

    const TextLanguage own = userTextLanguage();
    ASSERT_TRUE(useTextLanguage(own == TextLanguage::English ? TextLanguage::Source : TextLanguage::English));
    open();
    const Settings read = dialog->settings();
    command(CMD_EXIT);
    waitFor([&] { return !window->isVisible(); });
    const std::string storedAgain = readProfile();
    ASSERT_TRUE(useTextLanguage(own));
    EXPECT_EQ(read, written);
    EXPECT_EQ(storedAgain, stored);
}

}  // namespace
}  // namespace kestrova
