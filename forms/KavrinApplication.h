#pragma once

#include <QApplication>
#include <functional>
#include <string>

namespace kavrin {

// The application object: exceptions that escape an event handler end here instead of in Qt,
// which is not built to unwind them, and go to the handler the main window installs.
class KavrinApplication : public QApplication {
public:
    KavrinApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    using ExceptionHandler = std::function<void(const std::string& message)>;
    // Replaces the handler; an empty one restores the default (a plain error box).
    static void setExceptionHandler(ExceptionHandler handler);
    // Hands `message` to the installed handler.
    static void handleException(const std::string& message);
};

}  // namespace kavrin
