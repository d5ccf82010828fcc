#pragma once

#include <QString>
#include <optional>

#include "engine/MainView.h"
#include "support/smb/ShareAccess.h"

class QWidget;

namespace kavrin {

// Every question the windows ask and every error box they show, behind one interface: the
// program shows real boxes and pickers (dialogPrompts()), a test answers without them. A window
// gets its prompts when it is made.
class Prompts {
public:
    virtual ~Prompts() = default;

    // "Confirm" with Yes, No and (withCancel) Cancel; Yes is the default button. Escape answers
    // Cancel, or No without a Cancel button; closing the box answers Cancel.
    virtual Answer confirm(QWidget* parent, const QString& text, bool withCancel) = 0;
    // An error box with one OK button.
    virtual void error(QWidget* parent, const QString& title, const QString& text) = 0;
    // The credentials dialog for `share`, which refused access with `reason`, filled from
    // `credentials`; true, with `credentials` replaced by the answer, when it ends with OK.
    virtual bool credentials(QWidget* parent, const QString& share, const QString& reason,
                             ShareCredentials& credentials) = 0;
    // A folder picker starting at `start`; the chosen folder, or nothing when it was cancelled.
    virtual std::optional<QString> chooseFolder(QWidget* parent, const QString& start) = 0;
    // A "save as" picker titled `title`, proposing `suggestedName`, offering `filter`
    // ("CSV files (*.csv)"); the chosen path, or nothing when it was cancelled.
    virtual std::optional<QString> chooseSaveFile(QWidget* parent, const QString& title,
                                                  const QString& suggestedName,
                                                  const QString& filter) = 0;
};

// The real boxes and pickers, modal, for the whole run of the program.
Prompts& dialogPrompts();

}  // namespace kavrin
