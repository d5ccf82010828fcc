#include "forms/uFrmCredentials.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "forms/Fonts.h"

namespace kavrin {

namespace {

QLineEdit* namedEdit(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMinimumWidth(220);
    return edit;
}

}  // namespace

TfrmCredentials::TfrmCredentials(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("frmCredentials"));
    setWindowTitle(QStringLiteral("Connect to Server"));
    setFont(tahomaFont(11));
    setModal(true);

    MessageLAB = new QLabel(this);
    MessageLAB->setObjectName(QStringLiteral("MessageLAB"));
    MessageLAB->setTextFormat(Qt::PlainText);
    MessageLAB->setWordWrap(true);
    MessageLAB->setMinimumWidth(320);

    UserEDT = namedEdit(this, "UserEDT");
    PasswordEDT = namedEdit(this, "PasswordEDT");
    PasswordEDT->setEchoMode(QLineEdit::Password);
    DomainEDT = namedEdit(this, "DomainEDT");

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("User name :"), UserEDT);
    fields->addRow(QStringLiteral("Password :"), PasswordEDT);
    fields->addRow(QStringLiteral("Domain :"), DomainEDT);

    OKBTN = new QPushButton(QStringLiteral("OK"), this);
    OKBTN->setObjectName(QStringLiteral("OKBTN"));
    OKBTN->setDefault(true);
    OKBTN->setFixedSize(75, 25);
    connect(OKBTN, &QPushButton::clicked, this, &QDialog::accept);
    CancelBTN = new QPushButton(QStringLiteral("Cancel"), this);
    CancelBTN->setObjectName(QStringLiteral("CancelBTN"));
    CancelBTN->setFixedSize(75, 25);
    connect(CancelBTN, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OKBTN);
    buttons->addWidget(CancelBTN);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(10);
    layout->addWidget(MessageLAB);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(UserEDT, PasswordEDT);
    setTabOrder(PasswordEDT, DomainEDT);
    setTabOrder(DomainEDT, OKBTN);
    setTabOrder(OKBTN, CancelBTN);
}

QString TfrmCredentials::messageFor(const QString& share, const QString& reason) {
    return QStringLiteral(
               "%1 refused access (%2).\n\nEnter a user name and password with access "
               "to the share.")
        .arg(share, reason);
}

bool TfrmCredentials::ask(const QString& share, const QString& reason,
                          ShareCredentials& credentials) {
    MessageLAB->setText(messageFor(share, reason));
    UserEDT->setText(QString::fromStdString(credentials.user));
    PasswordEDT->clear();
    DomainEDT->setText(QString::fromStdString(credentials.domain));
    (credentials.user.empty() ? UserEDT : PasswordEDT)->setFocus();
    const bool accepted = exec() == QDialog::Accepted;
    if (accepted) {
        credentials.user = UserEDT->text().toStdString();
        credentials.password = PasswordEDT->text().toStdString();
        credentials.domain = DomainEDT->text().toStdString();
    }
    PasswordEDT->clear();  // the password lives no longer than it must
    return accepted;
}

}  // namespace kavrin
