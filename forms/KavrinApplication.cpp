#include "forms/KavrinApplication.h"

#include <QWidget>
#include <exception>

#include "forms/MessageBox.h"
#include "forms/ScreenFit.h"

namespace kavrin {

namespace {
KavrinApplication::ExceptionHandler& installedHandler() {
    static KavrinApplication::ExceptionHandler handler;
    return handler;
}
}  // namespace

KavrinApplication::KavrinApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool KavrinApplication::notify(QObject* receiver, QEvent* event) {
    try {
        const bool handled = QApplication::notify(receiver, event);
        // Every window and dialog, once its own handlers have placed it, is kept whole on its
        // screen: they are designed in pixels, and a small screen or a large scale cuts them.
        if (event->type() == QEvent::Show && receiver->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(receiver);
            const Qt::WindowType type = widget->windowType();
            if (widget->isWindow() &&
                (type == Qt::Window || type == Qt::Dialog || type == Qt::Tool)) {
                fitOnScreen(widget);
            }
        }
        return handled;
    } catch (const std::exception& e) {
        handleException(e.what());
    } catch (...) {
        handleException("Unknown exception.");
    }
    return false;
}

void KavrinApplication::setExceptionHandler(ExceptionHandler handler) {
    installedHandler() = std::move(handler);
}

void KavrinApplication::handleException(const std::string& message) {
    if (installedHandler()) {
        installedHandler()(message);
        return;
    }
    MessageBox::error(nullptr, QApplication::applicationDisplayName(),
                      QString::fromStdString(message));
}

}  // namespace kavrin
