#pragma once
#include <QHeaderView>

namespace kestrova {

// A pane's column header in which columns of width 0 at the right end can be
// pulled open. A plain header offers no divider past its last section, so a
// zero-width column there could never be widened; here the strip just right
// of the end grabs the last zero-width column, as the shared divider does in
// a report-view list.
class PaneHeader : public QHeaderView {
    Q_OBJECT
public:
    explicit PaneHeader(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The logical index of the zero-width column at the end whose divider
    // lies under `x`, or -1.
    int trailingSectionAt(int x) const;

    int dragged_ = -1;
    int dragStartX_ = 0;
};

}  // namespace kestrova
