#include "forms/ScreenFit.h"

#include <QRect>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace kavrin {

void fitOnScreen(QWidget* window) {
    const QScreen* screen = window->screen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    // The frame is known once the window system has framed the window; before that it counts
    // as nothing, and a window that then grows past the edge is fitted again on its next show.
    const QSize frame = window->frameGeometry().size() - window->geometry().size();
    const QSize room = area.size() - frame;
    const QSize fitted = window->size().boundedTo(room).expandedTo(window->minimumSize());
    if (fitted != window->size()) {
        window->resize(fitted);
    }
    const QSize outer = fitted + frame;
    const int x = std::clamp(window->frameGeometry().x(), area.left(),
                             std::max(area.left(), area.right() + 1 - outer.width()));
    const int y = std::clamp(window->frameGeometry().y(), area.top(),
                             std::max(area.top(), area.bottom() + 1 - outer.height()));
    if (QPoint(x, y) != window->frameGeometry().topLeft()) {
        window->move(x, y);
    }
}

}  // namespace kavrin
