#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

namespace kavrin {

enum Anchor : unsigned {
    kAnchorLeft = 1,
    kAnchorTop = 2,
    kAnchorRight = 4,
    kAnchorBottom = 8,
    kAnchorAll = 15,
};

// Keeps the children of one parent at the distances from the parent's edges they were designed
// with: a child anchored to both opposite edges grows with the parent, one anchored to the far
// edge only moves with it. The designed rectangles are those of the parent at its designed size.
class Anchors : public QObject {
public:
    Anchors(QWidget* parent, QSize designedParentSize);

    // Places `child` at `designed` and keeps it anchored from then on.
    void place(QWidget* child, QRect designed, unsigned anchors);
    // Lays the children out again for the parent's current size.
    void apply();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Item {
        QWidget* widget;
        QRect designed;
        unsigned anchors;
    };
    QRect rectFor(const Item& item, QSize parentSize) const;

    QWidget* m_parent;
    QSize m_designedParentSize;
    std::vector<Item> m_items;
};

}  // namespace kavrin
