#include "forms/MessageBox.h"

#include <QEvent>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>

#include "forms/uFrmCredentials.h"

namespace kavrin {

namespace {

// Tells a close from the frame apart from Escape, which QMessageBox maps to the same button.
class CloseWatcher : public QObject {
public:
    using QObject::QObject;
    bool closedByFrame = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            closedByFrame = true;
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

Answer MessageBox::confirm(QWidget* parent, const QString& text, bool withCancel) {
    (void)parent;  // the box is centred on the screen, not over the window
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text,
                    withCancel ? (QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel)
                               : (QMessageBox::Yes | QMessageBox::No));
    box.setWindowModality(Qt::ApplicationModal);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(withCancel ? QMessageBox::Cancel : QMessageBox::No);
    CloseWatcher watcher;
    box.installEventFilter(&watcher);
    const int result = box.exec();
    if (watcher.closedByFrame && result != QMessageBox::Yes) {
        return Answer::Cancel;
    }
    switch (result) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;
    }
}

void MessageBox::error(QWidget* parent, const QString& title, const QString& text) {
    (void)parent;
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

bool MessageBox::credentials(QWidget* parent, const QString& share, const QString& reason,
                             ShareCredentials& credentials) {
    TfrmCredentials dialog(parent);
    return dialog.ask(share, reason, credentials);
}

}  // namespace kavrin
