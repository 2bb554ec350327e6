#pragma once
#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>

#include "platform/WindowHost.h"
#include "qt/TimerTable.h"

class QAbstractItemView;
class QTimer;
class QTreeView;

namespace kestrova {

// Width a cell of `view` needs to show `text` uncut: what its item delegate
// asks for such a cell.
int cellWidth(const QAbstractItemView* view, const QString& text);

class ConnectionList;
class EventLog;
class MainDialog;
class QtWindowThread;
class RepaintThrottle;
class TextTableModel;

// The real window: two list panes over the connection rows and the log, the
// timers, menus and message boxes. Every event it gets goes to MainDialog.
class MainWindow : public QWidget, public WindowHost {
    Q_OBJECT
public:
    MainWindow(ConnectionList& connections, EventLog& log, QWidget* parent = nullptr);
    ~MainWindow() override;

    void attach(MainDialog* dialog);
    // Window initialisation, then the window shows itself centred on the screen.
    void start();

    QTreeView* connectionView() const { return connectionView_; }
    QTreeView* logView() const { return logView_; }
    TextTableModel* connectionModel() const { return connectionModel_; }
    TextTableModel* logModel() const { return logModel_; }
    QtWindowThread* windowThread() const { return windowThread_.get(); }
    // Brings both panes up to date with the rows they mirror.
    void flushModels();

    // WindowHost
    void setTitle(const std::string& title) override;
    void setTimer(TimerId id, std::int32_t periodMs) override;
    void killTimer(TimerId id) override;
    void postClose() override;
    void postSysCommand(CommandCode code) override;
    void showInformation(const std::string& text) override;
    CommandCode trackPopupMenu(const std::vector<MenuEntry>& entries, Point at) override;
    void runAboutBox() override;
    void movePane(Pane pane, int x, int y, int width, int height) override;
    void applyTopmost(bool onTop) override;
    void applyOpacity(std::uint8_t alpha) override;
    bool supportsOpacity() override;

    // Whether a timer is armed, and its period; for tests.
    int timerPeriod(TimerId id) const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    template <class F>
    void dispatch(F&& handler);
    void showWindowMenu();
    void timerFired(TimerId id);
    QTreeView* makeView(TextTableModel* model, bool framed);

    MainDialog* dialog_ = nullptr;
    TextTableModel* connectionModel_ = nullptr;
    TextTableModel* logModel_ = nullptr;
    QTreeView* connectionView_ = nullptr;
    QTreeView* logView_ = nullptr;
    TimerTable timers_{this, [this](TimerId id) { timerFired(id); }};
    std::unique_ptr<QtWindowThread> windowThread_;
    // Captured packets change the rows many times a second; the list shows
    // them at most this often.
    static constexpr int kRepaintIntervalMs = 33;
    RepaintThrottle* connectionRepaints_ = nullptr;
    bool closing_ = false;
};

}  // namespace kestrova
