#include "qt/LogHost.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>

#include <cstdio>

#include "ui/MainDialog.h"

namespace kestrova {

LogHost::LogHost(TerminalLog::Writer write, TerminalLog::Format format, QObject* parent)
    : QObject(parent),
      // A line that cannot be written comes in the middle of a tick; the end
      // waits until the tick is over.
      terminal_(std::move(write), [this] { postClose(); }, std::move(format)),
      timers_(this,
              [this](TimerId id) {
                  if (dialog_ && !ended_) dialog_->onTimer(id);
              }),
      windowThread_(std::make_unique<QtWindowThread>()) {}

LogHost::~LogHost() { windowThread_->close(); }

void LogHost::attach(MainDialog* dialog) { dialog_ = dialog; }

void LogHost::start() {
    if (dialog_) dialog_->initialise();
}

void LogHost::endWhenReadable(int fd) {
    if (fd < 0) return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, notifier, fd] {
        // The descriptor stays readable: one report is enough.
        notifier->setEnabled(false);
        if (!ended_) endedBy_ = fd;
        end();
    });
    notifiers_.push_back(notifier);
}

void LogHost::end() {
    if (ended_) return;
    ended_ = true;
    windowThread_->close();
    if (dialog_) dialog_->onDestroy();
    for (QSocketNotifier* notifier : notifiers_) notifier->setEnabled(false);
    emit finished();
}

void LogHost::postClose() { QMetaObject::invokeMethod(this, &LogHost::end, Qt::QueuedConnection); }

void LogHost::postSysCommand(CommandCode code) {
    QMetaObject::invokeMethod(
        this,
        [this, code] {
            if (dialog_ && !ended_) dialog_->onSysCommand(code);
        },
        Qt::QueuedConnection);
}

void LogHost::showInformation(const std::string& text) {
    const QByteArray program = QCoreApplication::applicationName().toLocal8Bit();
    std::fprintf(stderr, "%s: %s\n", program.constData(), text.c_str());
}

}  // namespace kestrova
