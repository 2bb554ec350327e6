#include "qt/PaneHeader.h"

#include <QMouseEvent>
#include <QStyle>

#include <algorithm>

namespace kestrova {

PaneHeader::PaneHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

int PaneHeader::trailingSectionAt(int x) const {
    // The last column on screen that is not hidden.
    int visual = count() - 1;
    while (visual >= 0 && isSectionHidden(logicalIndex(visual))) --visual;
    if (visual < 0) return -1;
    const int last = logicalIndex(visual);
    if (sectionSize(last) != 0) return -1;
    const int end = sectionViewportPosition(last);
    const int grip = style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, this);
    return x > end && x <= end + std::max(grip, 4) ? last : -1;
}

void PaneHeader::mousePressEvent(QMouseEvent* event) {
    const int x = event->position().toPoint().x();
    if (event->button() == Qt::LeftButton) {
        const int section = trailingSectionAt(x);
        if (section >= 0) {
            dragged_ = section;
            dragStartX_ = sectionViewportPosition(section);
            event->accept();
            return;
        }
    }
    QHeaderView::mousePressEvent(event);
}

void PaneHeader::mouseMoveEvent(QMouseEvent* event) {
    const int x = event->position().toPoint().x();
    if (dragged_ >= 0) {
        resizeSection(dragged_, std::max(0, x - dragStartX_));
        event->accept();
        return;
    }
    QHeaderView::mouseMoveEvent(event);
    if (event->buttons() == Qt::NoButton && trailingSectionAt(x) >= 0) setCursor(Qt::SplitHCursor);
}

void PaneHeader::mouseReleaseEvent(QMouseEvent* event) {
    if (dragged_ >= 0) {
        dragged_ = -1;
        event->accept();
        return;
    }
    QHeaderView::mouseReleaseEvent(event);
}

}  // namespace kestrova
