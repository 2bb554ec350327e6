#include "qt/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QKeyEvent>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <array>
#include <climits>

#include "text/UiTexts.h"
#include "qt/PaneHeader.h"
#include "qt/QtWindowThread.h"
#include "qt/RepaintThrottle.h"
#include "qt/TextTableModel.h"
#include "ui/Commands.h"
#include "ui/EventLog.h"
#include "ui/MainDialog.h"

namespace kestrova {

namespace {

QString text(std::string_view utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }

// The window's font: a Japanese proportional gothic at 9 points, falling back
// to whatever sans-serif face the system has for Japanese.
QFont windowFont() {
    QFont font(QStringLiteral("IPAPGothic"), 9);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// Dialog units of the window's font: a quarter of the average character
// width and an eighth of the character height.
QSize dialogUnitsToPixels(const QFont& font, int dx, int dy) {
    const QFontMetrics metrics(font);
    const int averageWidth =
        (metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) /
        2;
    return {dx * averageWidth / 4, dy * metrics.height() / 8};
}

// The digit our font draws widest.
QChar widestDigit(const QFont& font) {
    const QFontMetrics metrics(font);
    QChar widest = u'0';
    for (char16_t digit = u'1'; digit <= u'9'; ++digit)
        if (metrics.horizontalAdvance(QChar(digit)) > metrics.horizontalAdvance(widest)) widest = QChar(digit);
    return widest;
}

// A log timestamp as wide as any our font draws: every digit is its widest
// digit (with the usual tabular digits, any timestamp at all).
QString widestTimestamp(const QFont& font) {
    const QChar widest = widestDigit(font);
    QString text = QStringLiteral("2004/05/12 08:03:09");
    for (QChar& c : text)
        if (c.isDigit()) c = widest;
    return text;
}

// The activity mark with the longest total it is ever likely to carry (ten
// digits, all of them our font's widest digit).
QString widestActivity(const QFont& font) {
    return text(ACTIVE_MARKS[0]) + QString(10, widestDigit(font));
}

// The given widths, each shown column widened where our font would cut its
// header; hidden (zero-width) columns stay hidden.
template <std::size_t N>
void sizeColumns(QTreeView* view, const std::array<ColumnSpec, N>& specs) {
    QHeaderView* header = view->header();
    for (int column = 0; column < static_cast<int>(N); ++column) {
        const int given = specs[static_cast<std::size_t>(column)].width;
        header->resizeSection(column, given > 0 ? std::max(given, header->sectionSizeHint(column)) : 0);
    }
}

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(40, 60, 160));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
        painter.setPen(QPen(QColor(100, 100, 255), size / 8.0));
        painter.drawLine(QPointF(size * 0.2, size * 0.5), QPointF(size * 0.8, size * 0.5));
        painter.setPen(QPen(Qt::white, size / 10.0));
        painter.drawLine(QPointF(size * 0.55, size * 0.3), QPointF(size * 0.8, size * 0.5));
        painter.drawLine(QPointF(size * 0.55, size * 0.7), QPointF(size * 0.8, size * 0.5));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

int cellWidth(const QAbstractItemView* view, const QString& text) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.font = view->font();
    option.fontMetrics = QFontMetrics(option.font);
    option.features = QStyleOptionViewItem::HasDisplay;
    option.text = text;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    return view->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), view).width();
}

MainWindow::MainWindow(ConnectionList& connections, EventLog& log, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    // Like the dialog it stands for, the window has a caption and a sizing
    // frame but no system menu, so no minimise, maximise or close button of
    // its own: it ends through the command menu, Enter, Esc or the window
    // manager's close request.
    setWindowTitle(text(INITIAL_CAPTION));
    setWindowIcon(applicationIcon());
    setFont(windowFont());

    connectionModel_ = new TextTableModel(connections, this);
    connectionModel_->setColumnForeground(colActive, QColor(100, 100, 255));
    logModel_ = new TextTableModel(log, EventLog::kColumns, this);
    connectionView_ = makeView(connectionModel_, true);
    connectionView_->setObjectName(QStringLiteral("connectionList"));
    logView_ = makeView(logModel_, false);
    logView_->setObjectName(QStringLiteral("eventLog"));
    logView_->setFocusPolicy(Qt::ClickFocus);  // not a tab stop
    logView_->header()->setSectionsMovable(false);  // only the connection list reorders its columns
    sizeColumns(connectionView_, kConnectionColumnSpecs);
    sizeColumns(logView_, EventLog::kColumns);
    // The log's time column shows every timestamp whole, whatever our font
    // makes of its width.
    QHeaderView* logHeader = logView_->header();
    logHeader->resizeSection(0, std::max(logHeader->sectionSize(0), cellWidth(logView_, widestTimestamp(logView_->font()))));
    // Likewise the activity column: a total cut to "▼12…" tells nothing.
    QHeaderView* connectionHeader = connectionView_->header();
    connectionHeader->resizeSection(colActive, std::max(connectionHeader->sectionSize(colActive),
                                                        cellWidth(connectionView_, widestActivity(connectionView_->font()))));

    // Window-wide, so that it works wherever the focus is: the lists would
    // take the key for themselves.
    auto* windowMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    windowMenuKey->setContext(Qt::WindowShortcut);
    connect(windowMenuKey, &QShortcut::activated, this, &MainWindow::showWindowMenu);

    const QSize client = dialogUnitsToPixels(font(), 446, 215);
    resize(client);
    const QSize listSize = dialogUnitsToPixels(font(), 436, 155);
    const QSize listPos = dialogUnitsToPixels(font(), 5, 10);
    connectionView_->setGeometry(listPos.width(), listPos.height(), listSize.width(), listSize.height());
    const QSize logSize = dialogUnitsToPixels(font(), 436, 34);
    const QSize logPos = dialogUnitsToPixels(font(), 5, 174);
    logView_->setGeometry(logPos.width(), logPos.height(), logSize.width(), logSize.height());

    windowThread_ = std::make_unique<QtWindowThread>([this] { flushModels(); });
    connectionRepaints_ = new RepaintThrottle(connectionView_->viewport(), kRepaintIntervalMs, this);
    windowThread_->setBeforeWork([this] { connectionRepaints_->hold(); });

}

MainWindow::~MainWindow() {
    if (windowThread_) windowThread_->close();
}

QTreeView* MainWindow::makeView(TextTableModel* model, bool framed) {
    auto* view = new QTreeView(this);
    view->setHeader(new PaneHeader(view));
    view->setModel(model);
    view->setRootIsDecorated(false);
    view->setItemsExpandable(false);
    view->setUniformRowHeights(true);
    view->setSortingEnabled(false);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setFrameShape(framed ? QFrame::StyledPanel : QFrame::NoFrame);
    QHeaderView* header = view->header();
    header->setSectionsMovable(true);
    header->setSectionsClickable(false);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(0);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Right-clicks anywhere in the panes open the window's command menu.
    for (QWidget* widget : {static_cast<QWidget*>(view), view->viewport(), static_cast<QWidget*>(header)})
        widget->setContextMenuPolicy(Qt::NoContextMenu);
    return view;
}

void MainWindow::attach(MainDialog* dialog) { dialog_ = dialog; }

void MainWindow::start() {
    dispatch([this] { dialog_->initialise(); });
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
    connectionView_->setFocus();
}

template <class F>
void MainWindow::dispatch(F&& handler) {
    if (!dialog_) return;
    handler();
    flushModels();
}

void MainWindow::flushModels() {
    connectionModel_->flush();
    logModel_->flush();
}

void MainWindow::setTitle(const std::string& title) { setWindowTitle(text(title)); }

void MainWindow::setTimer(TimerId id, std::int32_t periodMs) { timers_.set(id, periodMs); }

void MainWindow::killTimer(TimerId id) { timers_.kill(id); }

int MainWindow::timerPeriod(TimerId id) const { return timers_.period(id); }

void MainWindow::timerFired(TimerId id) {
    dispatch([this, id] { dialog_->onTimer(id); });
}

void MainWindow::postClose() { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); }

void MainWindow::postSysCommand(CommandCode code) {
    QMetaObject::invokeMethod(
        this, [this, code] { dispatch([this, code] { dialog_->onSysCommand(code); }); }, Qt::QueuedConnection);
}

void MainWindow::showInformation(const std::string& message) {
    QMessageBox box(QMessageBox::Information, QCoreApplication::applicationName(), text(message), QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    box.exec();
}

CommandCode MainWindow::trackPopupMenu(const std::vector<MenuEntry>& entries, Point at) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("commandMenu"));
    for (const MenuEntry& entry : entries) {
        if (entry.separator) {
            menu.addSeparator();
            continue;
        }
        QAction* action = menu.addAction(text(entry.caption));
        action->setData(static_cast<uint>(entry.code));
        action->setCheckable(entry.checked);
        action->setChecked(entry.checked);
        action->setEnabled(entry.enabled);
    }
    QPoint where(at.x, at.y);
    if (at.x == -1 && at.y == -1) {
        // From the keyboard: open where the keyboard focus is.
        QWidget* focus = QApplication::focusWidget();
        if (!focus || focus->window() != this) focus = this;
        where = focus->mapToGlobal(QPoint(0, 0));
    }
    // An action may also be triggered without a click (by accessibility
    // tools, for one), which exec() would report as no choice.
    QAction* chosen = nullptr;
    connect(&menu, &QMenu::triggered, &menu, [&chosen](QAction* action) { chosen = action; });
    if (QAction* clicked = menu.exec(where)) chosen = clicked;
    return chosen ? CommandCode{chosen->data().toUInt()} : CommandCode{};
}

void MainWindow::showWindowMenu() {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("windowMenu"));
    QAction* about = menu.addAction(text(shownText(UiText::AboutEntry)));
    connect(about, &QAction::triggered, this, [this] { postSysCommand(CMD_ABOUT); });
    menu.exec(mapToGlobal(QPoint(0, 0)));
}

void MainWindow::runAboutBox() {
    QDialog about(this);
    about.setObjectName(QStringLiteral("aboutBox"));
    about.setWindowTitle(text(shownText(UiText::AboutCaption)));
    auto* icon = new QLabel(&about);
    icon->setPixmap(windowIcon().pixmap(32, 32));
    auto* version = new QLabel(text(ABOUT_BOX_VERSION), &about);
    version->setTextFormat(Qt::PlainText);
    auto* detail = new QLabel(QStringLiteral("IPv4 TCP connection monitor for Linux"), &about);
    auto* ok = new QPushButton(QStringLiteral("OK"), &about);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, &about, &QDialog::accept);
    auto* texts = new QVBoxLayout;
    texts->addWidget(version);
    texts->addWidget(detail);
    auto* row = new QHBoxLayout(&about);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts, 1);
    row->addWidget(ok, 0, Qt::AlignTop);
    about.exec();
}

void MainWindow::movePane(Pane pane, int x, int y, int width, int height) {
    // A pane with a negative size is shown as an empty one.
    QTreeView* view = pane == Pane::ConnectionList ? connectionView_ : logView_;
    view->setGeometry(x, y, std::max(width, 0), std::max(height, 0));
}

void MainWindow::applyTopmost(bool onTop) {
    if (QWindow* handle = windowHandle()) {
        // Changing the widget's flags would re-create the native window and
        // move it; the window handle takes the hint in place.
        handle->setFlag(Qt::WindowStaysOnTopHint, onTop);
        overrideWindowFlags(handle->flags());
    } else {
        setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    }
}

void MainWindow::applyOpacity(std::uint8_t alpha) { setWindowOpacity(alpha / 255.0); }

bool MainWindow::supportsOpacity() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("xcb") || platform.startsWith(QLatin1String("wayland")) ||
           platform == QLatin1String("offscreen");
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    dispatch([this] { dialog_->onSize(width(), height()); });
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    // The panes pass on the keys they do not use. Enter and Esc end the
    // window as a dialog's OK and Cancel would, without saving anything.
    const int key = event->key();
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if ((key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) && modifiers == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    const Point at = event->reason() == QContextMenuEvent::Keyboard ? Point{-1, -1}
                                                                     : Point{event->globalPos().x(), event->globalPos().y()};
    dispatch([this, at] { dialog_->onContextMenu(at); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        closing_ = true;
        // Workers waiting to hand work over are released before anything
        // they might touch goes away.
        windowThread_->close();
        if (dialog_) dialog_->onDestroy();
    }
    event->accept();
}

}  // namespace kestrova
