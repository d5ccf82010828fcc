#include "forms/Anchors.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>

namespace kavrin {

Anchors::Anchors(QWidget* parent, QSize designedParentSize)
    : QObject(parent), m_parent(parent), m_designedParentSize(designedParentSize) {
    parent->installEventFilter(this);
}

void Anchors::place(QWidget* child, QRect designed, unsigned anchors) {
    m_items.push_back({child, designed, anchors});
    child->setGeometry(rectFor(m_items.back(), m_parent->size()));
}

void Anchors::apply() {
    const QSize size = m_parent->size();
    for (const Item& item : m_items) {
        item.widget->setGeometry(rectFor(item, size));
    }
}

QRect Anchors::rectFor(const Item& item, QSize parentSize) const {
    const int dw = parentSize.width() - m_designedParentSize.width();
    const int dh = parentSize.height() - m_designedParentSize.height();
    QRect r = item.designed;
    if ((item.anchors & kAnchorRight) != 0) {
        if ((item.anchors & kAnchorLeft) != 0) {
            r.setWidth(std::max(0, r.width() + dw));
        } else {
            r.moveLeft(r.left() + dw);
        }
    }
    if ((item.anchors & kAnchorBottom) != 0) {
        if ((item.anchors & kAnchorTop) != 0) {
            r.setHeight(std::max(0, r.height() + dh));
        } else {
            r.moveTop(r.top() + dh);
        }
    }
    return r;
}

bool Anchors::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_parent && event->type() == QEvent::Resize) {
        apply();
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace kavrin
