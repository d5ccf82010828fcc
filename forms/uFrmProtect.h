#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace kavrin {

class MaintenanceEngine;
class Prompts;

// "Protected Nodes...": the rules of the open database's Kavrin.protect (pattern and reason),
// which every administrator of the database shares. "Add" adds the rule typed (or gives its
// pattern the reason typed), "Remove" removes the rule chosen; each change replaces the file at
// once, atomically, and the node list's marks follow it (a node newly protected is unmarked). A
// file that cannot be used is named with its line above the list and cannot be changed here.
class TfrmProtect : public QDialog {
public:
    // REQUIRES: a database is open in `engine`; `engine` and `prompts` outlive the dialog.
    TfrmProtect(QWidget* parent, MaintenanceEngine& engine, Prompts& prompts);

private:
    void AddBTNClick();
    void RemoveBTNClick();
    // The list and the problem text from the rules the engine holds now.
    void showRules();
    void updateButtons();

    MaintenanceEngine& m_engine;
    Prompts& m_prompts;

    QLabel* Label1;
    QLabel* ProblemLAB;
    QTreeWidget* RulesLV;
    QLineEdit* PatternEDT;
    QLineEdit* ReasonEDT;
    QPushButton* AddBTN;
    QPushButton* RemoveBTN;
    QPushButton* CloseBTN;
};

}  // namespace kavrin
