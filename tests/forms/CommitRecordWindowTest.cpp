#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <sstream>

#include "FormsTestSupport.h"
#include "cli/Commands.h"
#include "common/CsvParse.h"
#include "common/FixedClock.h"
#include "forms/NodeListModel.h"
#include "support/fs/Paths.h"

using namespace kavrin;
using namespace kavrin::test;

namespace {

using Lines = std::vector<std::string>;

Lines cells(const QTreeWidget* widget) {
    Lines result;
    for (int row = 0; row < widget->topLevelItemCount(); ++row) {
        for (int column = 0; column < widget->columnCount(); ++column) {
            result.push_back(widget->topLevelItem(row)->text(column).toStdString());
        }
    }
    return result;
}

Lines cells(const QTreeView* view, const std::vector<int>& columns) {
    Lines result;
    const QAbstractItemModel* model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        for (int column : columns) {
            result.push_back(model->index(row, column).data().toString().toStdString());
        }
    }
    return result;
}

// The numbers and names the command line prints in the same places: the file lines cut into
// name and numbers, the totals into label and count, the nodes into name, index, installs and
// reason (the columns the dialog shows as they are).
struct Printed {
    Lines files, totals, nodes;
};

Printed printedPreview(const std::string& text) {
    Printed printed;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        if (line.find('\t') != std::string::npos) {
            Lines fields;
            for (std::string field; std::getline(words, field, '\t');) {
                fields.push_back(field);
            }
            printed.nodes.insert(printed.nodes.end(), {fields[0], fields[1], fields[4], fields[5]});
        } else if (line.starts_with("Kavrin.")) {
            std::string name, colon, before, arrow, after, records, bytesBefore, bytesAfter;
            words >> name >> colon >> before >> arrow >> after >> records >> bytesBefore >> arrow >>
                bytesAfter;
            printed.files.insert(printed.files.end(),
                                 {name, before, after, bytesBefore, bytesAfter});
        } else {
            const std::size_t colon = line.rfind(" : ");
            printed.totals.insert(printed.totals.end(),
                                  {line.substr(0, colon), line.substr(colon + 3)});
        }
    }
    return printed;
}

}  // namespace

class CommitRecordWindowTest : public QObject {
    Q_OBJECT

private slots:
    // The preview shows what the command line prints for the same marks; the list sorts by a
    // header click and is saved as the manifest's CSV; a marked row tells why in its tooltip.
    void previewShowsWhatTheCommandLinePrints() {
        WindowFixture f;
        QVERIFY(!triggerAction(&f.window(), "PreviewCommitMEN"));  // nothing open
        f.openSample(Answer::Yes);
        f.selectRows({f.rowOf("PC8")});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        const NodeListModel* model = f.window().nodeListModel();
        const auto tip = [model](int row) { return model->index(row, 2).data(Qt::ToolTipRole); };
        QCOMPARE(tip(f.rowOf("PC8")).toString(), QString("by hand"));
        QCOMPARE(tip(f.rowOf("PC1")).toString(), QString("duplicate of pc1, kept 0x000005FA"));
        QVERIFY(!tip(f.rowOf("pc1")).isValid());

        Lines totals, removals, nodes, sortedNames;
        std::string saved;
        const std::string csvPath = f.folder() + "/list.csv";
        onNextModal([&](QWidget* modal) {
            totals = cells(child<QTreeWidget>(modal, "TotalsLV"));
            removals = cells(child<QTreeWidget>(modal, "RemovalsLV"));
            auto* list = child<QTreeView>(modal, "RemovedLV");
            nodes = cells(list, {0, 1, 4, 5});
            list->sortByColumn(0, Qt::DescendingOrder);
            sortedNames = cells(list, {0});
            f.prompts().savePaths.push_back(QString::fromStdString(csvPath));
            child<QPushButton>(modal, "SaveListBTN")->click();
            child<QPushButton>(modal, "CloseBTN")->click();
        });
        QVERIFY(triggerAction(&f.window(), "PreviewCommitMEN"));

        std::ostringstream out, err;
        QCOMPARE(cli::runCommandLine(
                     {"commit", f.folder(), "--fix-duplicates", "--delete", "PC8", "--dry-run"},
                     out, err),
                 0);
        const Printed printed = printedPreview(out.str());
        QCOMPARE(totals, printed.files);
        QCOMPARE(removals, printed.totals);
        QCOMPARE(nodes, printed.nodes);
        QCOMPARE(nodes, (Lines{"PC1", "0x00000000", "1", "duplicate of pc1, kept 0x000005FA", "PC8",
                               "0x000014EB", "1", "by hand"}));
        QCOMPARE(sortedNames, (Lines{"PC8", "PC1"}));
        const std::vector<std::uint8_t> csv = test::readFileBytes(csvPath);
        const auto rows = parseCsv(std::string(csv.begin(), csv.end()));
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[1][0], std::string("PC1"));
        QCOMPARE(rows[2][6], std::string("by hand"));
        QVERIFY(f.prompts().takeShown().empty());
        QCOMPARE(f.window().nodeListModel()->rowCount(), 8);  // nothing was committed
    }

    // "Restore Backup..." lists the backup folders newest first, with their sizes and node
    // counts; the one chosen is put back and opened.
    void restoreListsNewestFirstAndPutsTheChosenBack() {
        FixedClock clock({2023, 12, 31, 23, 59, 59, 0});
        WindowFixture f(localFileSystem(), clock);
        QVERIFY(!triggerAction(&f.window(), "RestoreBackupMEN"));  // nothing open
        f.openSample(Answer::Yes);
        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        clock.time = {2024, 1, 2, 10, 0, 0, 0};
        QVERIFY(triggerAction(&f.window(), "CommitMEN"));  // removes PC1
        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        std::filesystem::create_directory(f.folder() + "/notes");
        QCOMPARE(f.window().nodeListModel()->rowCount(), 7);

        Lines listed;
        onNextModal([&](QWidget* modal) {
            auto* list = child<QTreeWidget>(modal, "BackupsLV");
            listed = cells(list);
            list->setCurrentItem(list->topLevelItem(list->topLevelItemCount() - 1));
            child<QPushButton>(modal, "RestoreBTN")->click();
        });
        QVERIFY(triggerAction(&f.window(), "RestoreBackupMEN"));

        QCOMPARE(listed.size(), std::size_t{18});
        const Lines names = {listed[0], listed[6], listed[12]};
        QCOMPARE(names, (Lines{"20240102-100000-2", "20240102-100000", "20231231-235959"}));
        const Lines nodeCounts = {listed[5], listed[11], listed[17]};
        QCOMPARE(nodeCounts, (Lines{"7", "8", "8"}));
        QCOMPARE(listed[14], std::to_string(230 + 8 * 765));
        QCOMPARE(f.window().nodeListModel()->rowCount(), 8);
        const Lines log = lines(f.window(), LineList::Log);
        QVERIFY(std::any_of(log.begin(), log.end(), [](const std::string& line) {
            return line.starts_with("Restored : the database holds the files of the backup");
        }));
    }

    // A damaged database does not open, but its backups are offered: the open names the file it
    // could not read after the design's message, and what is restored opens. Another location
    // typed takes the offer back.
    void aDamagedOpenOffersTheRestoreOfItsBackups() {
        WindowFixture f;
        f.openSample();
        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        const std::string nodes = joinPath(f.folder(), "Kavrin.cmp");
        std::filesystem::resize_file(nodes, 100);
        f.prompts().answers.push_back(Answer::No);  // to the pending changes: there are none
        f.find<QPushButton>("ConnectBTN")->click();
        std::vector<ScriptedPrompts::Shown> shown = f.prompts().takeShown();
        QCOMPARE(shown.size(), std::size_t{1});
        // The path as the file layer names it (a drive path, in its case, on Windows).
        const std::string text = shown[0].text.toStdString();
        QVERIFY2(text.starts_with("Cannot not read DB file header.\r\n\r\n") &&
                     QString::fromStdString(text).endsWith("Kavrin.cmp", Qt::CaseInsensitive) &&
                     text.find('\n', 35) == std::string::npos,
                 text.c_str());
        QVERIFY(!f.find<QAction>("CommitMEN")->isEnabled());

        onNextModal([](QWidget* modal) {
            auto* list = child<QTreeWidget>(modal, "BackupsLV");
            list->setCurrentItem(list->topLevelItem(0));
            child<QPushButton>(modal, "RestoreBTN")->click();
        });
        f.prompts().answers.push_back(Answer::No);  // to the offer to fix the duplicates
        QVERIFY(triggerAction(&f.window(), "RestoreBackupMEN"));
        QVERIFY(f.prompts().takeShown().size() <= 1);  // the offer, no error
        QVERIFY(f.engine().context().IsOpen);
        QCOMPARE(f.window().nodeListModel()->rowCount(), 8);

        std::filesystem::resize_file(nodes, 100);
        QVERIFY(triggerAction(&f.window(), "CloseMEN"));
        QVERIFY(f.find<QAction>("RestoreBackupMEN")->isEnabled());  // the folder holds backups
        f.find<QLineEdit>("DatabasePathEDT")->setText(QString::fromStdString(f.folder() + "/x"));
        QVERIFY(!triggerAction(&f.window(), "RestoreBackupMEN"));
    }
};

KAVRIN_FORMS_TEST_MAIN(CommitRecordWindowTest)
#include "CommitRecordWindowTest.moc"
