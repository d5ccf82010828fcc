#pragma once

#include <QString>

#include "engine/MainView.h"
#include "support/smb/ShareAccess.h"

class QWidget;

namespace kavrin {

// The real question and error boxes (see Prompts for what the windows call).
class MessageBox {
public:
    // "Confirm" with Yes, No and (withCancel) Cancel; Yes is the default button. Escape answers
    // Cancel, or No without a Cancel button; closing the box answers Cancel.
    static Answer confirm(QWidget* parent, const QString& text, bool withCancel);
    // An error box with one OK button.
    static void error(QWidget* parent, const QString& title, const QString& text);
    // The credentials dialog for `share`, which refused access with `reason`, filled from
    // `credentials`; true, with `credentials` replaced by the answer, when it ends with OK.
    static bool credentials(QWidget* parent, const QString& share, const QString& reason,
                            ShareCredentials& credentials);
};

}  // namespace kavrin
