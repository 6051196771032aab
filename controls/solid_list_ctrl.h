#pragma once
// The navigation list: icons over labels, one full-width row per item, four rows to its height, never a
// scroll bar; the mouse wheel scrolls it by the wheel's own amount in pixels.

#include <QListWidget>

class CSolidListCtrl : public QListWidget {
    Q_OBJECT
public:
    explicit CSolidListCtrl(QWidget* parent = nullptr);

    // Row height: the list's height divided by the number of items, so that every item shows without
    // scrolling (the list has no scroll bar), but never more than a quarter of it; rows as wide as the
    // list. Called once the items are in.
    void SetRowsToFit();
    // The lowest selected index, or -1.
    int FirstSelected() const;

    static QColor TextColor() { return {0, 85, 229}; }
    static QColor ListBackground() { return {223, 223, 223}; }

signals:
    // A mouse click has been applied to the selection (on an item or on empty space).
    void NavClicked();

protected:
    void wheelEvent(QWheelEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
