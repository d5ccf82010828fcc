#include <QAbstractItemView>
#include <QCalendarWidget>
#include <QDate>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>

#include "FormsTestSupport.h"
#include "common/FaultyFileSystem.h"
#include "common/FixedClock.h"
#include "forms/Artwork.h"
#include "forms/NodeListModel.h"
#include "forms/uFrmDate.h"

using namespace kavrin;
using namespace kavrin::test;

namespace {

using Lines = std::vector<std::string>;

const char* const kPendingText =
    "Changes have been made to the database.\r\n\r\nDo you want to commit the changes to the "
    "database?";

// 2023-03-15 10:00:00; the date dialog opens on 2022-03-15. The sample's nodes were last online
// at midnight of 2023-03-15 + row (DateTimeValue 45000 + row).
QTreeView* nodesView(WindowFixture& f) {
    return f.find<QTreeView>("NodesLV");
}

// The captions of the rows whose icon is the marked picture, in list order.
Lines markedRows(WindowFixture& f) {
    Lines marked;
    const QAbstractItemModel* model = f.window().nodeListModel();
    const qint64 markedKey = imageListIcon(kIconMarked).cacheKey();
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex index = model->index(row, 0);
        if (qvariant_cast<QIcon>(index.data(Qt::DecorationRole)).cacheKey() == markedKey) {
            marked.push_back(index.data().toString().toStdString());
        }
    }
    return marked;
}

// Opens LVEditPOP as a right click would (its enabling runs), then closes it.
void popUpNodeMenu(WindowFixture& f) {
    auto* menu = f.find<QMenu>("LVEditPOP");
    menu->popup(QPoint(0, 0));
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
}

bool enabled(WindowFixture& f, const char* action) {
    return f.find<QAction>(action)->isEnabled();
}

std::uintmax_t fileSize(const std::string& path) {
    return std::filesystem::file_size(path);
}

std::vector<std::string> subFolders(const std::string& folder) {
    std::vector<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_directory()) {
            result.push_back(entry.path().string());
        }
    }
    return result;
}

}  // namespace

class MarkingWindowTest : public QObject {
    Q_OBJECT

private slots:
    // Tools > Protected Nodes...: a rule added unmarks its nodes at once (logged) and is saved
    // beside the database; a protected node then cannot be marked; the rule removed lets it be.
    void protectedNodesDialog() {
        WindowFixture f;
        f.openSample();
        f.selectRows({f.rowOf("PC1"), f.rowOf("pc1"), f.rowOf("LAPTOP7")});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        QCOMPARE(markedRows(f), Lines({"PC1", "pc1", "LAPTOP7"}));

        int rulesShown = -1;
        onNextModal([&](QWidget* modal) {
            child<QLineEdit>(modal, "PatternEDT")->setText("pc?");
            child<QLineEdit>(modal, "ReasonEDT")->setText("desks");
            child<QPushButton>(modal, "AddBTN")->click();
            rulesShown = child<QTreeWidget>(modal, "RulesLV")->topLevelItemCount();
            child<QPushButton>(modal, "CloseBTN")->click();
        });
        QVERIFY(triggerAction(&f.window(), "ProtectedNodesMEN"));
        QCOMPARE(rulesShown, 1);
        QCOMPARE(markedRows(f), Lines({"LAPTOP7"}));
        QCOMPARE(lines(f.window(), LineList::Log).back(),
                 std::string("Protected : 2 nodes left unmarked"));
        const QModelIndex pc1 = f.window().nodeListModel()->index(f.rowOf("PC1"), 0);
        QCOMPARE(pc1.data(Qt::ToolTipRole).toString(), QString("protected by pc?"));
        const std::vector<std::uint8_t> saved = readFileBytes(f.folder() + "/Kavrin.protect");
        QCOMPARE(std::string(saved.begin(), saved.end()), std::string("pc?\tdesks\n"));

        f.prompts().takeShown();
        f.selectRows({f.rowOf("PC1")});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        QCOMPARE(markedRows(f), Lines({"LAPTOP7"}));
        const auto shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{1});
        QCOMPARE(shown[0].text, QString("PC1 is protected by pc? and cannot be marked."));

        onNextModal([&](QWidget* modal) {
            auto* rules = child<QTreeWidget>(modal, "RulesLV");
            rules->setCurrentItem(rules->topLevelItem(0));
            child<QPushButton>(modal, "RemoveBTN")->click();
            rulesShown = rules->topLevelItemCount();
            child<QPushButton>(modal, "CloseBTN")->click();
        });
        QVERIFY(triggerAction(&f.window(), "ProtectedNodesMEN"));
        QCOMPARE(rulesShown, 0);
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        QCOMPARE(markedRows(f), Lines({"PC1", "LAPTOP7"}));
    }

    void detailsOnMouseAndKeyRelease() {
        WindowFixture f;
        f.openSample();
        QTreeView* view = nodesView(f);
        auto* pages = f.find<QTabWidget>("PageControl");
        const QAbstractItemModel* model = view->model();

        QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                          view->visualRect(model->index(f.rowOf("ALPHA"), 0)).center());
        QCOMPARE(pages->currentIndex(), 2);
        Lines details = lines(f.window(), LineList::NodeStats);
        QCOMPARE(details.size(), std::size_t{13});
        QCOMPARE(details[0], std::string("Active : True"));
        QCOMPARE(details[1], std::string("Name : ALPHA"));

        // The arrow key moves the selection; its release shows the new row.
        pages->setCurrentIndex(0);
        QTest::keyClick(view, Qt::Key_Down);
        QCOMPARE(f.window().lineAt(LineList::NodeStats, 1), std::string("Name : DESK&CO"));
        QCOMPARE(pages->currentIndex(), 2);

        // Several rows selected: the one nearest the top, whichever came last.
        f.selectRows({f.rowOf("PC8"), f.rowOf("pc1")});
        pages->setCurrentIndex(0);
        QTest::keyClick(view, Qt::Key_Control);
        QCOMPARE(f.window().lineAt(LineList::NodeStats, 1), std::string("Name : pc1"));
        QCOMPARE(pages->currentIndex(), 2);

        // Nothing selected: nothing changes.
        view->selectionModel()->clearSelection();
        pages->setCurrentIndex(0);
        QTest::keyClick(view, Qt::Key_Shift);
        QCOMPARE(pages->currentIndex(), 0);
        QCOMPARE(f.window().lineAt(LineList::NodeStats, 1), std::string("Name : pc1"));
    }

    void deleteAndUndeleteChangeTheRowIcon() {
        WindowFixture f;
        f.openSample();

        popUpNodeMenu(f);  // nothing selected
        QVERIFY(enabled(f, "DeleteNodeMEN"));
        QVERIFY(enabled(f, "UndeleteNodeMEN"));

        f.selectRows({0, 1, 2});
        popUpNodeMenu(f);
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        QCOMPARE(markedRows(f), Lines({"PC1", "pc1", "ALPHA"}));
        popUpNodeMenu(f);  // several selected: both offered
        QVERIFY(enabled(f, "DeleteNodeMEN"));
        QVERIFY(enabled(f, "UndeleteNodeMEN"));

        f.selectRows({1});
        popUpNodeMenu(f);
        QVERIFY(!enabled(f, "DeleteNodeMEN"));
        QVERIFY(enabled(f, "UndeleteNodeMEN"));
        QVERIFY(triggerAction(&f.window(), "UndeleteNodeMEN"));
        QCOMPARE(markedRows(f), Lines({"PC1", "ALPHA"}));

        f.selectRows({1});
        popUpNodeMenu(f);
        QVERIFY(enabled(f, "DeleteNodeMEN"));
        QVERIFY(!enabled(f, "UndeleteNodeMEN"));
    }

    // Delete and Insert on the list do what the pop-up menu would offer for the selection; each
    // marking is logged, and a marked row is drawn differently across its whole width.
    void keysMarkAndUnmarkAndTheLogSaysSo() {
        WindowFixture f;
        f.openSample();
        QTreeView* view = nodesView(f);
        QApplication::setActiveWindow(&f.window());
        view->setFocus();
        QTRY_VERIFY(view->hasFocus());
        const QAbstractItemModel* model = f.window().nodeListModel();
        const struct {
            std::vector<std::string> rows;
            Qt::Key key;
            Lines marked;
            const char* logged;  // null: nothing done
        } steps[] = {
            {{"ZETA"}, Qt::Key_Delete, {"ZETA"}, "Marked : 1 node by hand"},
            {{"ZETA"}, Qt::Key_Delete, {"ZETA"}, nullptr},  // already marked
            {{"ZETA"}, Qt::Key_Insert, {}, "Unmarked : 1 node by hand"},
            {{"ZETA"}, Qt::Key_Insert, {}, nullptr},
            {{"PC1", "ALPHA"}, Qt::Key_Delete, {"PC1", "ALPHA"}, "Marked : 2 nodes by hand"}};
        for (const auto& step : steps) {
            std::vector<int> rows;
            for (const std::string& name : step.rows) {
                rows.push_back(f.rowOf(name));
            }
            f.selectRows(rows);
            const Lines before = lines(f.window(), LineList::Log);
            QTest::keyClick(view, step.key);
            QCOMPARE(markedRows(f), step.marked);
            Lines expected = before;
            if (step.logged != nullptr) {
                expected.push_back(step.logged);
            }
            QCOMPARE(lines(f.window(), LineList::Log), expected);
            for (int row = 0; row < model->rowCount(); ++row) {
                const bool marked =
                    std::count(step.marked.begin(), step.marked.end(),
                               model->index(row, 0).data().toString().toStdString());
                for (int column = 0; column < model->columnCount(); ++column) {
                    QCOMPARE(model->index(row, column).data(Qt::BackgroundRole).isValid(), marked);
                }
            }
        }
    }

    // OK marks every node last online before the chosen day began: a node seen at midnight of
    // that day is not older than it.
    void dateDialogOkMarksNodesBeforeTheDay() {
        FixedClock clock({2023, 3, 15, 10, 0, 0, 0});
        WindowFixture f(localFileSystem(), clock);
        f.window().setDialogs(new TfrmDate(&f.window(), clock), nullptr);
        f.openSample();

        QDate opened;
        QString counted;  // the count the dialog showed for the day OK was clicked on
        onNextModal([&](QWidget* modal) {
            auto* calendar = child<QCalendarWidget>(modal, "Calender");
            opened = calendar->selectedDate();
            calendar->setSelectedDate(QDate(2023, 3, 18));
            counted = child<QLabel>(modal, "NodeCountLAB")->text();
            child<QPushButton>(modal, "cxButton2")->click();
        });
        QVERIFY(triggerAction(&f.window(), "DeleteOlderThanMEN"));
        QCOMPARE(opened, QDate(2022, 3, 15));
        QCOMPARE(markedRows(f), Lines({"PC1", "pc1", "SRV-A"}));
        QCOMPARE(counted, QString("3 nodes to mark"));

        // The pop-up's item does the same, and the calendar is back to a year ago. The count
        // takes in the nodes marked already, as the marking does.
        onNextModal([&](QWidget* modal) {
            auto* calendar = child<QCalendarWidget>(modal, "Calender");
            opened = calendar->selectedDate();
            calendar->setSelectedDate(QDate(2023, 3, 20));
            counted = child<QLabel>(modal, "NodeCountLAB")->text();
            child<QPushButton>(modal, "cxButton2")->click();
        });
        QVERIFY(triggerAction(&f.window(), "DeleteolderthanPOP"));
        QCOMPARE(opened, QDate(2022, 3, 15));
        QCOMPARE(markedRows(f), Lines({"PC1", "pc1", "DESK&CO", "LAPTOP7", "SRV-A"}));
        QCOMPARE(counted, QString("5 nodes to mark"));
    }

    // Cancel, Escape, and Enter (Cancel is the default button) mark nothing.
    void dateDialogCancelMarksNothing() {
        FixedClock clock({2023, 3, 15, 10, 0, 0, 0});
        WindowFixture f(localFileSystem(), clock);
        f.window().setDialogs(new TfrmDate(&f.window(), clock), nullptr);
        f.openSample();

        onNextModal([](QWidget* modal) {
            child<QCalendarWidget>(modal, "Calender")->setSelectedDate(QDate(2024, 1, 1));
            child<QPushButton>(modal, "cxButton1")->click();
        });
        QVERIFY(triggerAction(&f.window(), "DeleteOlderThanMEN"));
        QVERIFY(markedRows(f).empty());

        onNextModal([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
        QVERIFY(triggerAction(&f.window(), "DeleteOlderThanMEN"));
        QVERIFY(markedRows(f).empty());

        onNextModal([](QWidget* modal) {
            auto* calendar = child<QCalendarWidget>(modal, "Calender");
            calendar->setSelectedDate(QDate(2024, 1, 1));
            QWidget* focus = QApplication::focusWidget();
            QTest::keyClick(focus != nullptr ? focus : calendar, Qt::Key_Return);
        });
        QVERIFY(triggerAction(&f.window(), "DeleteOlderThanMEN"));
        QVERIFY(markedRows(f).empty());
    }

    // The status bar counts the marked nodes after every kind of marking, keeps the count
    // through a commit that wrote nothing, and shows none while nothing is open.
    void markedCountFollowsEveryMarking() {
        FixedClock clock({2023, 3, 15, 10, 0, 0, 0});
        WindowFixture f(localFileSystem(), clock);
        f.window().setDialogs(new TfrmDate(&f.window(), clock), nullptr);
        auto* panel = f.find<QLabel>("MarkedPanel");
        auto byDate = [&](QDate day) {
            onNextModal([day](QWidget* modal) {
                child<QCalendarWidget>(modal, "Calender")->setSelectedDate(day);
                child<QPushButton>(modal, "cxButton2")->click();
            });
            return triggerAction(&f.window(), "DeleteOlderThanMEN");
        };
        auto byHand = [&](const char* action, std::vector<int> rows) {
            f.selectRows(rows);
            return triggerAction(&f.window(), action);
        };
        const struct {
            const char* what;
            std::function<bool()> act;
            int marked;  // -1: no database open, no count
        } steps[] = {
            {"closed", [] { return true; }, -1},
            {"opened, duplicates fixed by the open",
             [&] {
                 f.openSample(Answer::Yes);
                 return true;
             },
             1},
            {"by hand",
             [&] {
                 return byHand("DeleteNodeMEN", {0, 1, 2});
             },
             3},
            {"unmarked by hand",
             [&] {
                 return byHand("UndeleteNodeMEN", {0, 1, 2});
             },
             0},
            {"by date",
             [&] {
                 return byDate({2023, 3, 18});
             },
             3},
            {"a commit that wrote nothing",
             [&] {
                 const std::string titles = f.folder() + "/Kavrin.ttl";
                 std::filesystem::last_write_time(
                     titles, std::filesystem::last_write_time(titles) + std::chrono::seconds(3));
                 const bool triggered = triggerAction(&f.window(), "CommitMEN");
                 return triggered && f.prompts().takeShown().size() == 1;
             },
             3},
            {"closed again", [&] { return triggerAction(&f.window(), "CloseMEN"); }, -1},
            {"reopened without the fix",
             [&] {
                 f.openSample(Answer::No);
                 return true;
             },
             0},
            {"duplicates fixed", [&] { return triggerAction(&f.window(), "FixDuplicatesMEN"); }, 1},
            {"a failed open",
             [&] {
                 f.prompts().answers.push_back(Answer::No);  // the marks need not be committed
                 f.openFolder(f.folder() + "/none");
                 return f.prompts().takeShown().size() == 2;
             },
             -1},
        };
        for (const auto& step : steps) {
            QVERIFY2(step.act(), step.what);
            if (step.marked < 0) {
                QVERIFY2(panel->isHidden(), step.what);
                continue;
            }
            QVERIFY2(!panel->isHidden(), step.what);
            QCOMPARE(panel->text(), QStringLiteral("Marked : %1").arg(step.marked));
            QCOMPARE(markedRows(f).size(), static_cast<std::size_t>(step.marked));
        }
    }

    // Reopening with marks asks first: Cancel keeps everything, No reopens without the marks.
    void pendingChangesOnReopen() {
        WindowFixture f;
        f.openSample();
        f.selectRows({f.rowOf("PC8")});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        const std::size_t logLines = f.window().lineCount(LineList::Log);

        f.prompts().answers.push_back(Answer::Cancel);
        f.openFolder(f.folder());
        std::vector<ScriptedPrompts::Shown> boxes = f.prompts().takeShown();
        QCOMPARE(boxes.size(), std::size_t{1});
        QCOMPARE(boxes[0].text.toStdString(), std::string(kPendingText));
        QVERIFY(boxes[0].withCancel);
        QCOMPARE(markedRows(f), Lines({"PC8"}));
        QCOMPARE(f.window().lineCount(LineList::Log), logLines);

        f.prompts().answers.push_back(Answer::No);
        f.prompts().answers.push_back(Answer::No);  // the offer to fix duplicates
        f.openFolder(f.folder());
        QCOMPARE(f.prompts().takeShown().size(), std::size_t{2});
        QVERIFY(markedRows(f).empty());
        QCOMPARE(f.window().nodeListModel()->rowCount(), 8);
        QVERIFY(subFolders(f.folder()).empty());  // nothing committed
    }

    // Yes commits first: the marked node is gone from the files the open reads again.
    void pendingChangesYesCommitsBeforeReopening() {
        WindowFixture f;
        f.openSample();
        f.selectRows({f.rowOf("PC8")});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));

        f.prompts().answers.push_back(Answer::Yes);
        f.prompts().answers.push_back(Answer::No);  // the offer at the reopen
        f.openFolder(f.folder());
        QCOMPARE(f.window().nodeListModel()->rowCount(), 7);
        QCOMPARE(f.rowOf("PC8"), -1);
        QCOMPARE(subFolders(f.folder()).size(), std::size_t{1});
        QCOMPARE(fileSize(f.folder() + "/Kavrin.cmp"), std::uintmax_t{230 + 7 * 765});
    }

    void pendingChangesOnClose() {
        WindowFixture f;
        f.openSample();
        f.selectRows({0});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));

        f.prompts().answers.push_back(Answer::Cancel);
        QVERIFY(!f.window().close());
        QVERIFY(f.window().isVisible());
        QCOMPARE(f.prompts().takeShown().size(), std::size_t{1});
        QCOMPARE(markedRows(f), Lines({"PC1"}));

        f.prompts().answers.push_back(Answer::No);
        QVERIFY(f.window().close());
        QVERIFY(!f.window().isVisible());
        QCOMPARE(f.window().nodeListModel()->rowCount(), 0);
        QCOMPARE(fileSize(f.folder() + "/Kavrin.cmp"), std::uintmax_t{230 + 8 * 765});
    }

    void closeAnsweredYesCommits() {
        WindowFixture f;
        f.openSample();
        f.selectRows({0, 1});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));

        f.prompts().answers.push_back(Answer::Yes);
        QVERIFY(f.window().close());
        QCOMPARE(fileSize(f.folder() + "/Kavrin.cmp"), std::uintmax_t{230 + 6 * 765});
        // The check of the files in place is the commit's last word in the log.
        QVERIFY(f.window()
                    .lineAt(LineList::Log, f.window().lineCount(LineList::Log) - 1)
                    .starts_with("Checked : the files in place are the files written, with "
                                 "nodes 6, installs 6, titles 1 as previewed"));
    }

    // "Backup Database" alone: a new folder with the three files, no page change, no busy.
    void backupDatabase() {
        WindowFixture f;
        f.openSample();
        f.find<QTabWidget>("PageControl")->setCurrentIndex(2);
        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        const std::vector<std::string> backups = subFolders(f.folder());
        QCOMPARE(backups.size(), std::size_t{1});
        for (const char* name : {"/Kavrin.cmp", "/Kavrin.ist", "/Kavrin.ttl"}) {
            QVERIFY2(std::filesystem::exists(backups[0] + name), name);
        }
        QCOMPARE(fileSize(backups[0] + "/Kavrin.cmp"), std::uintmax_t{230 + 8 * 765});
        QCOMPARE(f.find<QTabWidget>("PageControl")->currentIndex(), 2);
        bool logged = false;
        for (const std::string& line : lines(f.window(), LineList::Log)) {
            logged = logged || line == "Creating backup directory : " + backups[0];
        }
        QVERIFY(logged);
        QVERIFY(f.prompts().takeShown().empty());
    }

    // "Commit / Compact" rewrites the files without the marked nodes and opens them again.
    void commitCompactReopens() {
        WindowFixture f;
        f.openSample();
        QVERIFY(triggerAction(&f.window(), "FixDuplicatesMEN"));
        QCOMPARE(markedRows(f), Lines({"PC1"}));
        QCOMPARE(f.find<QLabel>("StatusPanel3")->text(),
                 QString("Status : 1 Duplicate Records Deleted.  Active(1) Inactive(0)"));
        f.selectRows({f.rowOf("PC8")});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));

        QVERIFY(triggerAction(&f.window(), "CommitMEN"));
        QVERIFY(f.prompts().takeShown().empty());  // healthy now: no offer, no error
        QCOMPARE(f.window().nodeListModel()->rowCount(), 6);
        QCOMPARE(f.rowOf("PC1"), -1);
        QCOMPARE(f.rowOf("PC8"), -1);
        QCOMPARE(f.find<QLabel>("StatusPanel3")->text(), QString("Status  : Healthy"));
        QCOMPARE(fileSize(f.folder() + "/Kavrin.cmp"), std::uintmax_t{230 + 6 * 765});
        QCOMPARE(fileSize(f.folder() + "/Kavrin.ist"), std::uintmax_t{230 + 6 * 13});
        const Lines log = lines(f.window(), LineList::Log);
        const auto committed = std::find(log.begin(), log.end(), "Commiting to Database...");
        QVERIFY(committed != log.end());
        QVERIFY(std::any_of(committed, log.end(), [](const std::string& line) {
            return line.starts_with("Loading : ");
        }));
        QVERIFY(f.find<QWidget>("Panel1")->isEnabled());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(f.find<QAction>("CommitMEN")->isEnabled());
    }

    // A commit refused before it wrote anything (here: a file changed since the open) shows why
    // and keeps the list and its marks instead of opening the database again.
    void aCommitThatWroteNothingKeepsTheMarks() {
        WindowFixture f;
        f.openSample();
        QVERIFY(triggerAction(&f.window(), "FixDuplicatesMEN"));
        const std::string titles = f.folder() + "/Kavrin.ttl";
        std::filesystem::last_write_time(
            titles, std::filesystem::last_write_time(titles) + std::chrono::seconds(3));

        QVERIFY(triggerAction(&f.window(), "CommitMEN"));
        const auto shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{1});
        QVERIFY(shown[0].text.contains("changed on disk"));
        QCOMPARE(markedRows(f), Lines({"PC1"}));
        QCOMPARE(lines(f.window(), LineList::Log).back(), shown[0].text.toStdString());
        QCOMPARE(fileSize(f.folder() + "/Kavrin.cmp"), std::uintmax_t{230 + 8 * 765});
        QVERIFY(f.find<QAction>("CommitMEN")->isEnabled());
    }

    // A folder that cannot be written is told at open, and a commit says so before it starts:
    // nothing is written there, and the marks stay.
    void anUnwritableFolderIsToldAtOpenAndBeforeTheCommit() {
        FaultyFileSystem fs(localFileSystem());
        WindowFixture f(fs);
        f.openSample();
        fs.makeReadOnly(f.folder());
        f.prompts().answers.push_back(Answer::No);  // to the offer to fix the duplicates
        f.find<QPushButton>("ConnectBTN")->click();
        const std::string problem = "The database folder cannot be written : " + f.folder() + " (";
        QVERIFY(lines(f.window(), LineList::Log).back().starts_with(problem));
        QVERIFY(
            f.find<QLabel>("StatusPanel1")->toolTip().startsWith(QString::fromStdString(problem)));
        f.prompts().takeShown();

        QVERIFY(triggerAction(&f.window(), "FixDuplicatesMEN"));
        QVERIFY(triggerAction(&f.window(), "CommitMEN"));
        const auto shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{1});
        QVERIFY(shown[0].text.toStdString().starts_with(problem));
        QCOMPARE(markedRows(f), Lines({"PC1"}));
        QCOMPARE(fs.calls(FileOp::CreateExclusive), 0);  // not even the claim was tried
        QCOMPARE(std::distance(std::filesystem::directory_iterator(f.folder()),
                               std::filesystem::directory_iterator()),
                 3);
    }
};

KAVRIN_FORMS_TEST_MAIN(MarkingWindowTest)
#include "MarkingWindowTest.moc"
