#include "solid_list_ctrl.h"

#include <QMouseEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QWheelEvent>

#include <algorithm>

namespace {

// Rows without the dotted focus frame: at start-up no item may look highlighted.
class NoFocusFrameDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem plain(option);
        plain.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, plain, index);
    }
};

} // namespace

CSolidListCtrl::CSolidListCtrl(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new NoFocusFrameDelegate(this));
    setViewMode(QListView::IconMode);
    setFlow(QListView::TopToBottom);
    setWrapping(false);
    setMovement(QListView::Static);
    setResizeMode(QListView::Fixed);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setFrameShape(QFrame::StyledPanel);
    setSpacing(0);
    // Text (0, 85, 229) on (223, 223, 223); the selection stays visible when the list loses the focus.
    QPalette colours = palette();
    colours.setColor(QPalette::Base, ListBackground());
    colours.setColor(QPalette::Text, TextColor());
    colours.setColor(QPalette::Inactive, QPalette::Highlight,
                     colours.color(QPalette::Active, QPalette::Highlight));
    colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     colours.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(colours);
}

void CSolidListCtrl::SetRowsToFit() {
    // The client area inside the border: the viewport may not have been laid out yet.
    QSize client = contentsRect().size();
    QSize row(client.width(), client.height() / std::max(4, count()));
    setGridSize(row);
    for (int i = 0; i < count(); ++i) {
        item(i)->setSizeHint(row);
    }
}

int CSolidListCtrl::FirstSelected() const {
    for (int row = 0; row < count(); ++row) {
        if (item(row)->isSelected()) {
            return row;
        }
    }
    return -1;
}

void CSolidListCtrl::wheelEvent(QWheelEvent* event) {
    // Away from the user (+120 a notch) moves the view towards the first item by that many pixels.
    int delta = event->angleDelta().y();
    verticalScrollBar()->setValue(verticalScrollBar()->value() - delta);
    event->accept();
}

void CSolidListCtrl::mouseReleaseEvent(QMouseEvent* event) {
    QListWidget::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton) {
        emit NavClicked();
    }
}
