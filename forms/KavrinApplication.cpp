#include "forms/KavrinApplication.h"

#include <exception>

#include "forms/MessageBox.h"

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
        return QApplication::notify(receiver, event);
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
