#include "forms/MessageBox.h"

#include <QEvent>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <deque>

#include "forms/uFrmCredentials.h"

namespace kavrin {

namespace {

struct Seam {
    std::deque<Answer> answers;
    std::deque<std::optional<ShareCredentials>> credentials;
    std::vector<MessageBox::Shown> shown;
    bool automatic = false;
};

Seam& seam() {
    static Seam instance;
    return instance;
}

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
    Seam& s = seam();
    if (s.automatic || !s.answers.empty()) {
        s.shown.push_back({Kind::Confirm, QStringLiteral("Confirm"), text, withCancel});
    }
    if (!s.answers.empty()) {
        const Answer answer = s.answers.front();
        s.answers.pop_front();
        return answer;
    }
    if (s.automatic) {
        return Answer::Cancel;
    }
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
    Seam& s = seam();
    if (s.automatic) {
        s.shown.push_back({Kind::Error, title, text, false});
        return;
    }
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

bool MessageBox::credentials(QWidget* parent, const QString& share, const QString& reason,
                             ShareCredentials& credentials) {
    Seam& s = seam();
    if (s.automatic || !s.credentials.empty()) {
        s.shown.push_back({Kind::Credentials, QStringLiteral("Connect to Server"),
                           TfrmCredentials::messageFor(share, reason), true});
    }
    if (!s.credentials.empty()) {
        const std::optional<ShareCredentials> answer = s.credentials.front();
        s.credentials.pop_front();
        if (answer) {
            credentials = *answer;
        }
        return answer.has_value();
    }
    if (s.automatic) {
        return false;
    }
    TfrmCredentials dialog(parent);
    return dialog.ask(share, reason, credentials);
}

void MessageBox::setNextCredentials(std::optional<ShareCredentials> answer) {
    seam().credentials.push_back(std::move(answer));
}

void MessageBox::setNextAnswer(Answer answer) {
    seam().answers.push_back(answer);
}

std::size_t MessageBox::pendingAnswers() {
    return seam().answers.size();
}

void MessageBox::setAutomatic(bool automatic) {
    seam().automatic = automatic;
}

std::vector<MessageBox::Shown> MessageBox::takeShown() {
    std::vector<Shown> result;
    result.swap(seam().shown);
    return result;
}

void MessageBox::reset() {
    seam().answers.clear();
    seam().credentials.clear();
    seam().shown.clear();
}

}  // namespace kavrin
