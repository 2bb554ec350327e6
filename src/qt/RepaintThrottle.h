#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

namespace kestrova {

// Keeps a widget from repainting more often than once per interval while
// changes stream in. Before a change, hold() checks when the widget last
// painted; if that was less than an interval ago, the widget's updates are
// held until the interval is over and then released, which repaints it once
// with everything that changed meanwhile. Nothing else waits: events,
// menus and other widgets go on as usual.
class RepaintThrottle : public QObject {
    Q_OBJECT
public:
    RepaintThrottle(QWidget* target, int intervalMs, QObject* parent = nullptr);

    void hold();
    bool holding() const { return holding_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void release();

    QWidget* target_;
    int intervalMs_;
    QElapsedTimer sincePaint_;
    QTimer releaseTimer_;
    bool holding_ = false;
};

}  // namespace kestrova
