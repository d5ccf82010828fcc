#pragma once

#include <QString>
#include <cstddef>
#include <optional>
#include <vector>

#include "engine/MainView.h"
#include "support/smb/ShareAccess.h"

class QWidget;

namespace kavrin {

// The one door through which the window asks questions and reports errors, so that tests can
// answer without a real box.
class MessageBox {
public:
    enum class Kind { Confirm, Error, Credentials };
    struct Shown {
        Kind kind;
        QString title;
        QString text;
        bool withCancel;
    };

    // "Confirm" with Yes, No and (withCancel) Cancel; Yes is the default button. Escape answers
    // Cancel, or No without a Cancel button; closing the box answers Cancel.
    static Answer confirm(QWidget* parent, const QString& text, bool withCancel);
    // An error box with one OK button.
    static void error(QWidget* parent, const QString& title, const QString& text);
    // The credentials dialog for `share`, which refused access with `reason`, filled from
    // `credentials`; true, with `credentials` replaced by the answer, when it ends with OK.
    static bool credentials(QWidget* parent, const QString& share, const QString& reason,
                            ShareCredentials& credentials);

    // --- Test seam ---------------------------------------------------------------------------
    // Answers given, in order, to the next confirmations instead of showing a box.
    static void setNextAnswer(Answer answer);
    static std::size_t pendingAnswers();
    // Answers given, in order, to the next credentials dialogs: credentials for OK, nothing for
    // Cancel.
    static void setNextCredentials(std::optional<ShareCredentials> answer);
    // While automatic no real box ever shows: errors are only recorded, and a confirmation or a
    // credentials dialog with no answer queued answers Cancel.
    static void setAutomatic(bool automatic);
    // Every box asked for through the seam (automatic or answered) since the last call, in order.
    static std::vector<Shown> takeShown();
    // Forgets queued answers and recorded boxes.
    static void reset();
};

}  // namespace kavrin
