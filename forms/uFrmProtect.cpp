#include "forms/uFrmProtect.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <exception>

#include "engine/MaintenanceEngine.h"
#include "forms/Fonts.h"
#include "forms/Prompts.h"

namespace kavrin {

namespace {

QPushButton* button(QWidget* parent, const char* name, const QString& text) {
    auto* made = new QPushButton(text, parent);
    made->setObjectName(QString::fromLatin1(name));
    made->setAutoDefault(false);
    return made;
}

}  // namespace

TfrmProtect::TfrmProtect(QWidget* parent, MaintenanceEngine& engine, Prompts& prompts)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_engine(engine),
      m_prompts(prompts) {
    setObjectName(QStringLiteral("frmProtect"));
    setWindowTitle(QStringLiteral("Protected Nodes"));
    setFont(tahomaFont(11));
    setModal(true);
    setSizeGripEnabled(true);

    Label1 = new QLabel(
        QStringLiteral("Nodes whose name matches a pattern (* any run of characters, ? one "
                       "character, any case) are never marked. The rules are kept in %1 beside "
                       "the database, for everyone who maintains it.")
            .arg(QString::fromLatin1(kProtectionName)),
        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    ProblemLAB = new QLabel(this);
    ProblemLAB->setObjectName(QStringLiteral("ProblemLAB"));
    ProblemLAB->setWordWrap(true);

    RulesLV = new QTreeWidget(this);
    RulesLV->setObjectName(QStringLiteral("RulesLV"));
    RulesLV->setRootIsDecorated(false);
    RulesLV->setHeaderLabels({QStringLiteral("Pattern"), QStringLiteral("Reason")});
    RulesLV->setSelectionMode(QAbstractItemView::SingleSelection);
    RulesLV->header()->resizeSection(0, 160);

    PatternEDT = new QLineEdit(this);
    PatternEDT->setObjectName(QStringLiteral("PatternEDT"));
    ReasonEDT = new QLineEdit(this);
    ReasonEDT->setObjectName(QStringLiteral("ReasonEDT"));
    AddBTN = button(this, "AddBTN", QStringLiteral("&Add"));
    RemoveBTN = button(this, "RemoveBTN", QStringLiteral("&Remove"));
    CloseBTN = button(this, "CloseBTN", QStringLiteral("Close"));
    CloseBTN->setDefault(true);
    connect(AddBTN, &QPushButton::clicked, this, [this] { AddBTNClick(); });
    connect(RemoveBTN, &QPushButton::clicked, this, [this] { RemoveBTNClick(); });
    connect(CloseBTN, &QPushButton::clicked, this, &QDialog::accept);
    connect(PatternEDT, &QLineEdit::textChanged, this, [this] { updateButtons(); });
    connect(RulesLV, &QTreeWidget::itemSelectionChanged, this, [this] {
        // The rule chosen can be given another reason by Add.
        if (const QTreeWidgetItem* item = RulesLV->currentItem(); item && item->isSelected()) {
            PatternEDT->setText(item->text(0));
            ReasonEDT->setText(item->text(1));
        }
        updateButtons();
    });

    auto* fields = new QFormLayout;
    fields->addRow(QStringLiteral("Pattern:"), PatternEDT);
    fields->addRow(QStringLiteral("Reason:"), ReasonEDT);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(AddBTN);
    buttons->addWidget(RemoveBTN);
    buttons->addStretch(1);
    buttons->addWidget(CloseBTN);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(ProblemLAB);
    layout->addWidget(RulesLV, 1);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    resize(520, 420);
    showRules();
}

void TfrmProtect::showRules() {
    RulesLV->clear();
    for (const ProtectionRule& rule : m_engine.protectionRules().rules()) {
        new QTreeWidgetItem(
            RulesLV, {QString::fromStdString(rule.pattern), QString::fromStdString(rule.reason)});
    }
    const std::string& problem = m_engine.protectionProblem();
    ProblemLAB->setText(QString::fromStdString(problem));
    ProblemLAB->setVisible(!problem.empty());
    updateButtons();
}

void TfrmProtect::updateButtons() {
    const bool usable = m_engine.protectionProblem().empty();
    AddBTN->setEnabled(usable && !PatternEDT->text().isEmpty());
    RemoveBTN->setEnabled(usable && RulesLV->currentItem() != nullptr &&
                          RulesLV->currentItem()->isSelected());
}

void TfrmProtect::AddBTNClick() {
    try {
        m_engine.AddProtectionRule(PatternEDT->text().toStdString(),
                                   ReasonEDT->text().toStdString());
        PatternEDT->clear();
        ReasonEDT->clear();
    } catch (const std::exception& e) {
        m_prompts.error(this, QStringLiteral("Error"), QString::fromStdString(e.what()));
    }
    showRules();
}

void TfrmProtect::RemoveBTNClick() {
    const QTreeWidgetItem* item = RulesLV->currentItem();
    if (item == nullptr) {
        return;
    }
    try {
        m_engine.RemoveProtectionRule(item->text(0).toStdString());
    } catch (const std::exception& e) {
        m_prompts.error(this, QStringLiteral("Error"), QString::fromStdString(e.what()));
    }
    showRules();
}

}  // namespace kavrin
