#pragma once
#include <QObject>

#include <memory>
#include <vector>

#include "platform/WindowHost.h"
#include "qt/QtWindowThread.h"
#include "qt/TimerTable.h"
#include "terminal/TerminalLog.h"

class QSocketNotifier;

namespace kestrova {

class MainDialog;

// The window host of the terminal front end: a host without a window. The
// timers run on the plain Qt event loop (a QCoreApplication is enough, so no
// windowing system is needed or even looked for), workers hand their work over
// through windowThread(), and every line the event log receives is written
// out as it comes (give the dialog logListener()). There is no menu, no
// message box, no title to show: those requests are answered as a window that
// nobody looks at would answer them.
class LogHost : public QObject, public WindowHost {
    Q_OBJECT
public:
    // `write` takes each log line, made by `format` (text lines without
    // one); the first line it cannot take ends the run.
    explicit LogHost(TerminalLog::Writer write, TerminalLog::Format format = {}, QObject* parent = nullptr);
    ~LogHost() override;

    void attach(MainDialog* dialog);
    // Window initialisation; the first tick comes once the event loop runs.
    void start();
    // Ends the run once `fd` turns readable or reports an error: a signal's
    // wake-up pipe, or a pipe on standard output whose reader has gone.
    void endWhenReadable(int fd);
    // The orderly end: workers still waiting to hand work over are refused,
    // the dialog stops its timers and workers, then finished() is emitted.
    // Only the first call does anything.
    void end();

    bool ended() const { return ended_; }
    // The descriptor that ended the run, -1 when something else did.
    int endedBy() const { return endedBy_; }
    bool outputFailed() const { return terminal_.failed(); }
    // What writes the log's lines out.
    LogListener* logListener() { return &terminal_; }
    // Where worker threads hand their work to the event loop's thread.
    QtWindowThread* windowThread() const { return windowThread_.get(); }
    const std::string& title() const { return title_; }
    int timerPeriod(TimerId id) const { return timers_.period(id); }

    // WindowHost
    void setTitle(const std::string& title) override { title_ = title; }
    void setTimer(TimerId id, std::int32_t periodMs) override { timers_.set(id, periodMs); }
    void killTimer(TimerId id) override { timers_.kill(id); }
    void postClose() override;
    void postSysCommand(CommandCode code) override;
    // Goes to standard error, the terminal's place for what a box would say.
    void showInformation(const std::string& text) override;
    // Nobody can choose from a menu here.
    CommandCode trackPopupMenu(const std::vector<MenuEntry>&, Point) override { return {}; }
    void runAboutBox() override {}
    void movePane(Pane, int, int, int, int) override {}
    void applyTopmost(bool) override {}
    void applyOpacity(std::uint8_t) override {}
    // Without a window there is nothing to make translucent.
    bool supportsOpacity() override { return false; }

signals:
    void finished();

private:
    MainDialog* dialog_ = nullptr;
    TerminalLog terminal_;
    TimerTable timers_;
    std::unique_ptr<QtWindowThread> windowThread_;
    std::vector<QSocketNotifier*> notifiers_;
    std::string title_;
    bool ended_ = false;
    int endedBy_ = -1;
};

}  // namespace kestrova
