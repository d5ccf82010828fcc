#pragma once

#include <QDialog>

#include "support/smb/ShareAccess.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace kavrin {

// "Connect to Server": asked when a server share refuses access, for the user name, password and
// domain to try instead. The password field never shows what is typed and starts empty.
class TfrmCredentials : public QDialog {
public:
    explicit TfrmCredentials(QWidget* parent = nullptr);

    // The text above the fields: which share refused and why.
    static QString messageFor(const QString& share, const QString& reason);

    // Shows the dialog for `share`, which refused with `reason`, the fields filled from
    // `credentials` (its password left out); true with `credentials` replaced by what was typed
    // when it ends with OK.
    bool ask(const QString& share, const QString& reason, ShareCredentials& credentials);

private:
    QLabel* MessageLAB;
    QLineEdit* UserEDT;
    QLineEdit* PasswordEDT;
    QLineEdit* DomainEDT;
    QPushButton* OKBTN;
    QPushButton* CancelBTN;
};

}  // namespace kavrin
