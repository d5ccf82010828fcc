#include "forms/ElidingLabel.h"

#include <QPainter>
#include <QStyle>

namespace kavrin {

ElidingLabel::ElidingLabel(int preferredWidth, int minimumWidth, QWidget* parent)
    : QLabel(parent), m_preferredWidth(preferredWidth), m_minimumWidth(minimumWidth) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidingLabel::showText(const QString& text) {
    setText(text);
    updateToolTip();
}

bool ElidingLabel::isElided() const {
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width();
}

QSize ElidingLabel::sizeHint() const {
    return {m_preferredWidth, QLabel::sizeHint().height()};
}

QSize ElidingLabel::minimumSizeHint() const {
    return {m_minimumWidth, QLabel::minimumSizeHint().height()};
}

void ElidingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect room = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideMiddle, room.width());
    style()->drawItemText(&painter, room, static_cast<int>(alignment()), palette(), isEnabled(),
                          shown, foregroundRole());
}

void ElidingLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateToolTip();
}

void ElidingLabel::updateToolTip() {
    setToolTip(isElided() ? text() : QString());
}

}  // namespace kavrin
