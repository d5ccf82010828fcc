#include <QAbstractItemView>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include "FormsTestSupport.h"
#include "common/FaultyFileSystem.h"
#include "forms/LineListView.h"
#include "forms/NodeListModel.h"
#include "support/fs/Paths.h"
#include "support/platform/Errors.h"
#include "support/platform/SystemHelpers.h"
#include "support/text/DateTimeText.h"

using namespace kavrin;
using namespace kavrin::test;

namespace {

using Lines = std::vector<std::string>;

const char* const kOfferText =
    "Duplicates were found in the database.\r\n\r\nWould you like to mark the duplicates entries "
    "deleted? [RECOMMENDED]";

// Every line list of the window is one of these.
const char* const kLineLists[] = {"DBStatsLB", "DuplicatesLB", "NodeStatsLB", "LogLB"};

// Brings up EditMenu on a line list as a right click would, then closes the menu again.
void openEditMenuOn(WindowFixture& f, const char* listName) {
    auto* list = f.find<QListView>(listName);
    const QPoint pos(5, 5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, list->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(list->viewport(), &event);
    auto* menu = f.find<QMenu>("EditMenu");
    QTRY_VERIFY(menu->isVisible());
    menu->hide();
}

void clickHeader(WindowFixture& f, int column) {
    QHeaderView* header = f.find<QTreeView>("NodesLV")->header();
    const QPoint pos(header->sectionViewportPosition(column) + 10, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, pos);
}

bool shown(QWidget* widget) {
    return !widget->isHidden();
}

// Throws from its event handler, as a faulty handler would.
class ThrowingObject : public QObject {
public:
    std::string message;
    bool event(QEvent* event) override {
        if (event->type() == QEvent::User) {
            throw KavrinError(message);
        }
        return QObject::event(event);
    }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    // The closed state with server mode, every component under its name and nothing cut off.
    void startsClosedInServerMode() {
        WindowFixture f;
        TMainFRM& w = f.window();

        QVERIFY(w.windowTitle().startsWith("KavrinServer Database Tool : "));
        QVERIFY(w.windowTitle().size() > int(strlen("KavrinServer Database Tool : ")));
        for (const char* name : {"Panel1",          "ConnectionGB",  "KavrinServerCHECKBOX",
                                 "DBFileCHECKBOX",  "Label1",        "DatabasePathEDT",
                                 "BrowseBUTTON",    "ConnectBTN",    "cxGroupBox1",
                                 "NodesLV",         "PageControl",   "DBStatsPage",
                                 "DuplicatesPAGE",  "NodeStatsPage", "LogPAGE",
                                 "DBStatsLB",       "DuplicatesLB",  "NodeStatsLB",
                                 "LogLB",           "StatusBar",     "ConnectedPIC",
                                 "NotConnectedPIC", "Panel2",        "ActionLAB",
                                 "ProgressPG",      "menDB1",        "menTools1",
                                 "Help1",           "LVEditPOP",     "EditMenu",
                                 "MainMenu"}) {
            const QWidget* widget = f.find<QWidget>(name);
            QVERIFY2(widget != nullptr, name);
            // Nothing shown is cut off by its parent's edges.
            QVERIFY2(!widget->isVisible() || widget->isWindow() ||
                         widget->parentWidget()->rect().contains(widget->geometry()),
                     name);
        }
        for (const char* name :
             {"OpenMEN", "CloseMEN", "N1", "PreviewCommitMEN", "CommitMEN", "N2", "Exit1",
              "BackupMEN", "RestoreBackupMEN", "FixDuplicatesMEN", "DeleteOlderThanMEN", "Info1",
              "DeleteNodeMEN", "UndeleteNodeMEN", "N3", "FixDuplicatesPOP", "N4",
              "DeleteolderthanPOP", "CopyLBMEN"}) {
            QVERIFY2(f.find<QAction>(name) != nullptr, name);
        }

        QVERIFY(f.find<QRadioButton>("KavrinServerCHECKBOX")->isChecked());
        QCOMPARE(f.find<QLineEdit>("DatabasePathEDT")->text().toStdString(), LocalComputerName());
        QVERIFY(!f.find<QPushButton>("BrowseBUTTON")->isEnabled());
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text(), QString("Not Connected"));
        QVERIFY(shown(f.find<QWidget>("NotConnectedPIC")));
        QVERIFY(!shown(f.find<QWidget>("ConnectedPIC")));
        QVERIFY(!shown(f.find<QWidget>("Panel2")));
        QVERIFY(!shown(f.find<QWidget>("ProgressPG")));
        QVERIFY(shown(f.find<QWidget>("StatusPanel3")));
        auto* pages = f.find<QTabWidget>("PageControl");
        QCOMPARE(pages->currentIndex(), 0);
        QVERIFY(!pages->isTabVisible(1));
        QCOMPARE(pages->tabText(0), QString("DB Stats"));
        QCOMPARE(pages->tabText(3), QString("Log"));
        for (LineList list :
             {LineList::DBStats, LineList::Duplicates, LineList::NodeStats, LineList::Log}) {
            QCOMPARE(w.lineCount(list), std::size_t{0});
        }
        QVERIFY(f.find<QAction>("OpenMEN")->isEnabled());
        for (const char* name :
             {"CloseMEN", "PreviewCommitMEN", "CommitMEN", "BackupMEN", "RestoreBackupMEN",
              "FixDuplicatesMEN", "DeleteOlderThanMEN", "DeleteNodeMEN", "CopyLBMEN"}) {
            QVERIFY2(!f.find<QAction>(name)->isEnabled(), name);
        }
        QVERIFY(!f.find<QAction>("FixDuplicatesMEN")->isVisible());
        QVERIFY(!f.find<QAction>("FixDuplicatesPOP")->isVisible());

        // Each column shown is wider than its title, each line taller than its text.
        QHeaderView* header = f.find<QTreeView>("NodesLV")->header();
        for (int column = 0; column < header->count(); ++column) {
            if (header->isSectionHidden(column)) {
                continue;
            }
            const QString title = header->model()->headerData(column, Qt::Horizontal).toString();
            QVERIFY(header->sectionSize(column) > header->fontMetrics().horizontalAdvance(title));
        }
        for (const char* name : kLineLists) {
            auto* list = f.find<LineListView>(name);
            QVERIFY2(list->lineHeight() >= list->fontMetrics().height(), name);
        }
    }

    // Anchored controls keep their distances to the edges they are anchored to: as the window
    // grows, each edge (left, top, right, bottom) anchored to its far side moves with it.
    void resizingKeepsAnchoredDistances() {
        WindowFixture f, grown;
        grown.window().resize(grown.window().size() + QSize(100, 60));
        const std::pair<const char*, QMargins> moving[] = {
            {"Panel1", {0, 0, 1, 1}},     {"ConnectionGB", {0, 0, 1, 0}},
            {"ConnectBTN", {1, 0, 1, 0}}, {"DatabasePathEDT", {0, 0, 1, 0}},
            {"NodesLV", {0, 0, 0, 1}},    {"PageControl", {0, 0, 1, 1}},
            {"StatusBar", {0, 1, 1, 1}}};
        for (const auto& [name, m] : moving) {
            QTRY_COMPARE(grown.find<QWidget>(name)->geometry(),
                         f.find<QWidget>(name)->geometry().adjusted(
                             m.left() * 100, m.top() * 60, m.right() * 100, m.bottom() * 60));
        }
    }

    void locationModes() {
        WindowFixture f;
        auto* server = f.find<QRadioButton>("KavrinServerCHECKBOX");
        auto* folder = f.find<QRadioButton>("DBFileCHECKBOX");
        auto* path = f.find<QLineEdit>("DatabasePathEDT");
        auto* browse = f.find<QPushButton>("BrowseBUTTON");

        server->click();  // already selected: nothing changes
        path->setText("typed");
        server->click();
        QCOMPARE(path->text(), QString("typed"));

        folder->click();
        QCOMPARE(path->text(), QString());
        QVERIFY(browse->isEnabled());
        path->setText("/data/inventory");
        folder->click();
        QCOMPARE(path->text(), QString("/data/inventory"));

        // Browse starts at the folder typed, or the nearest one above it that exists, else at
        // the last one chosen, else at the root; Cancel keeps the text, OK replaces it.
        TempFolder temp;
        const QString typed = QDir::cleanPath(QString::fromStdString(temp.path()));
        const QString chosen = typed + "/chosen";
        QVERIFY(QDir().mkpath(chosen));
        const struct {
            QString text;
            std::optional<QString> answer;
            QString start;
        } browsing[] = {{"", std::nullopt, QDir::cleanPath(QDir::rootPath())},  // "C:/" on Windows
                        {typed + "/not/there", std::nullopt, typed},
                        {typed, chosen, typed},
                        {"", std::nullopt, chosen}};
        for (const auto& step : browsing) {
            path->setText(step.text);
            f.prompts().folders.push_back(step.answer);
            browse->click();
            QCOMPARE(QDir::cleanPath(f.prompts().lastFolderStart), step.start);
            QCOMPARE(path->text(), step.answer.value_or(step.text));
        }

        server->click();
        QCOMPARE(path->text().toStdString(), LocalComputerName());
        QVERIFY(!browse->isEnabled());
    }

    void openingAFolderShowsStatsRowsAndDuplicates() {
        WindowFixture f;
        f.prompts().answers.push_back(Answer::No);  // the offer to fix the duplicates
        f.openDatabase(sampleDatabase());
        TMainFRM& w = f.window();

        const std::vector<ScriptedPrompts::Shown> boxes = f.prompts().takeShown();
        QCOMPARE(boxes.size(), std::size_t{1});
        QCOMPARE(boxes[0].title, QString("Confirm"));
        QCOMPARE(boxes[0].text.toStdString(), std::string(kOfferText));
        QVERIFY(!boxes[0].withCancel);

        QCOMPARE(lines(w, LineList::DBStats),
                 Lines({"DB Name : Test Inventory", "Comment : Built by a test", "Type : 1",
                        "Version : 2", "Uprgaded : ", "Created : " + DateTimeText(40000.5),
                        "Updated : " + DateTimeText(45000.25), "Total Nodes : 8",
                        "Total Software Titles : 1", "Total Software Installs : 8",
                        "Total Active Node Records : 7", "Total Duplicate Node Records : 1",
                        "Total Null Node Records : 0"}));
        QCOMPARE(lines(w, LineList::Duplicates), Lines({"pc1"}));
        QCOMPARE(f.captions(),
                 Lines({"PC1", "pc1", "ALPHA", "DESK&CO", "LAPTOP7", "PC8", "SRV-A", "ZETA"}));
        const QAbstractItemModel* model = w.nodeListModel();
        QCOMPARE(model->index(0, 1).data().toString(), QString("0x00000000"));
        QCOMPARE(model->index(1, 1).data().toString(), QString("0x000005FA"));
        QCOMPARE(model->index(1, 3).data().toString(), QString("False"));
        QCOMPARE(model->index(5, 2).data().toString(), QString("False"));  // PC8 is inactive

        auto* pages = f.find<QTabWidget>("PageControl");
        QVERIFY(pages->isTabVisible(1));
        QCOMPARE(pages->currentIndex(), 0);
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text().toStdString(), "Connected : " + f.folder());
        QVERIFY(shown(f.find<QWidget>("ConnectedPIC")));
        QVERIFY(!shown(f.find<QWidget>("NotConnectedPIC")));
        QCOMPARE(f.find<QLabel>("StatusPanel3")->text(),
                 QString("Status : Duplicate Records Found"));
        QVERIFY(shown(f.find<QWidget>("StatusPanel3")));
        QVERIFY(!shown(f.find<QWidget>("Panel2")));
        QVERIFY(shown(f.find<QWidget>("ProgressPG")));
        QCOMPARE(f.find<QProgressBar>("ProgressPG")->value(), 100);  // the final position
        QVERIFY(!f.find<QAction>("OpenMEN")->isEnabled());
        QVERIFY(f.find<QAction>("CommitMEN")->isEnabled());
        QVERIFY(f.find<QAction>("FixDuplicatesMEN")->isVisible());
        QVERIFY(f.find<QAction>("FixDuplicatesPOP")->isVisible());
        QCOMPARE(lines(w, LineList::Log).size(), std::size_t{3});  // one "Loading : " per file
        QVERIFY(w.lineAt(LineList::Log, 0).starts_with("Loading : "));
    }

    // "Duplicates" keeps its tab and page in step: a healthy database hides both, even when
    // the engine asks for the page.
    void hiddenDuplicatesPageNeverShows() {
        WindowFixture f;
        f.openSample();
        auto* pages = f.find<QTabWidget>("PageControl");
        pages->setCurrentIndex(1);

        DatabaseBuilder healthy;
        healthy.addNode("ONLY");
        test::TempFolder other;
        healthy.write(other.path());
        f.openFolder(other.path());
        QVERIFY(!pages->isTabVisible(1));
        QVERIFY(pages->currentIndex() != 1);
        QCOMPARE(f.find<QLabel>("StatusPanel3")->text(), QString("Status  : Healthy"));
        QVERIFY(!f.find<QAction>("FixDuplicatesMEN")->isVisible());

        f.window().selectPage(Page::Duplicates);
        QVERIFY(pages->currentIndex() != 1);
        f.window().selectPage(Page::NodeStats);
        QCOMPARE(pages->currentIndex(), 2);
    }

    // Enter in the location field and F5 do what "Open DB" does; Ctrl+O what "Open Database"
    // does, which is only offered while nothing is open.
    void keysOpenTheDatabase() {
        WindowFixture f;
        sampleDatabase().write(f.folder());
        f.find<QRadioButton>("DBFileCHECKBOX")->click();
        auto* path = f.find<QLineEdit>("DatabasePathEDT");
        path->setText(QString::fromStdString(f.folder()));
        QApplication::setActiveWindow(&f.window());
        const struct {
            QWidget* target;
            QKeyCombination key;
            bool closeFirst;
        } steps[] = {{path, Qt::Key_Return, false},
                     {&f.window(), Qt::Key_F5, false},
                     {&f.window(), Qt::CTRL | Qt::Key_O, true},
                     {&f.window(), Qt::CTRL | Qt::Key_O, false}};  // refused while open
        std::size_t opens = 0;
        for (const auto& step : steps) {
            if (step.closeFirst) {
                QVERIFY(triggerAction(&f.window(), "CloseMEN"));
            }
            const bool wasOpen = f.engine().context().IsOpen;
            f.prompts().answers.push_back(Answer::No);  // to the offer to fix the duplicates
            step.target->setFocus();
            QTest::keyClick(step.target, step.key.key(), step.key.keyboardModifiers());
            QVERIFY(f.engine().context().IsOpen);
            const bool opened = f.prompts().answers.empty();
            opens += opened ? 1 : 0;
            QCOMPARE(opened, !(wasOpen && step.key.key() == Qt::Key_O));
            f.prompts().answers.clear();
        }
        QCOMPARE(opens, std::size_t{3});
    }

    void failedOpenShowsTheErrorAndEndsClosed() {
        WindowFixture f;
        // Nothing calls a database healthy that did not open, not even while its error shows.
        QStringList healthWithError;
        f.prompts().whileErrorShown = [&] {
            healthWithError << f.find<QLabel>("StatusPanel3")->text();
        };
        f.openFolder(f.folder());  // an empty folder
        std::vector<ScriptedPrompts::Shown> boxes = f.prompts().takeShown();
        QCOMPARE(boxes.size(), std::size_t{1});
        QCOMPARE(boxes[0].kind, ScriptedPrompts::Kind::Error);
        QCOMPARE(boxes[0].title, QString("Error"));
        QCOMPARE(boxes[0].text.toStdString(), "Error: \"The database does not exist.\"\r\n\r\n" +
                                                  f.folder() + nativeSeparator() + "kavrin.cmp");

        // A failure after the loads: their log lines stay, the window is closed.
        DatabaseBuilder wrongVersion;
        wrongVersion.addNode("PC1");
        wrongVersion.setHeaders(1, 3);
        wrongVersion.write(f.folder());
        f.openFolder(f.folder());
        boxes = f.prompts().takeShown();
        QCOMPARE(boxes.size(), std::size_t{1});
        QCOMPARE(boxes[0].text.toStdString(),
                 std::string("Error: \"The database is not the correct version.\"\n\rThe "
                             "database is : version 3"));
        TMainFRM& w = f.window();
        QCOMPARE(w.lineCount(LineList::Log), std::size_t{3});
        QCOMPARE(w.lineCount(LineList::DBStats), std::size_t{0});
        QCOMPARE(w.nodeListModel()->rowCount(), 0);
        QCOMPARE(f.find<QLabel>("StatusPanel1")->text(), QString("Not Connected"));
        QVERIFY(f.find<QAction>("OpenMEN")->isEnabled());
        QVERIFY(!f.find<QAction>("CloseMEN")->isEnabled());
        QVERIFY(f.find<QWidget>("Panel1")->isEnabled());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QCOMPARE(healthWithError, QStringList({QString(), QString()}));
        QCOMPARE(f.find<QLabel>("StatusPanel3")->text(), QString());
    }

    // Each click flips the direction, whatever column was sorted before; the selection stays
    // on its node.
    void columnClicksReorderRows() {
        WindowFixture f;
        f.openSample();
        f.selectRows({7});  // ZETA

        clickHeader(f, 0);
        QCOMPARE(f.captions(),
                 Lines({"ZETA", "SRV-A", "PC8", "PC1", "pc1", "LAPTOP7", "DESK&CO", "ALPHA"}));
        QCOMPARE(f.window().firstSelected(), std::optional<std::size_t>(0));

        clickHeader(f, 3);
        QCOMPARE(f.captions(),
                 Lines({"PC1", "pc1", "ZETA", "SRV-A", "PC8", "LAPTOP7", "DESK&CO", "ALPHA"}));
        QCOMPARE(f.window().firstSelected(), std::optional<std::size_t>(2));
        QCOMPARE(f.window().selectedCount(), std::size_t{1});

        clickHeader(f, 1);  // descending offsets
        QCOMPARE(f.captions().front(), std::string("PC8"));
        QCOMPARE(f.captions().back(), std::string("PC1"));
    }

    // "Close Database" asks nothing, even with marks, and forgets them.
    void closeDatabaseAsksNothing() {
        WindowFixture f;
        f.openSample();
        f.selectRows({2});
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        QVERIFY(f.engine().HasPendingChanges());

        QVERIFY(triggerAction(&f.window(), "CloseMEN"));
        QVERIFY(f.prompts().takeShown().empty());
        QCOMPARE(f.window().nodeListModel()->rowCount(), 0);
        QCOMPARE(f.window().lineCount(LineList::DBStats), std::size_t{0});
        QCOMPARE(f.window().lineCount(LineList::Duplicates), std::size_t{0});
        QCOMPARE(f.window().lineCount(LineList::Log), std::size_t{4});  // the mark is logged
        QCOMPARE(f.find<QLabel>("StatusPanel3")->text(), QString());
        QVERIFY(!f.find<QTabWidget>("PageControl")->isTabVisible(1));
        QVERIFY(f.find<QAction>("OpenMEN")->isEnabled());
        QVERIFY(!f.find<QAction>("CopyLBMEN")->isEnabled());
        QVERIFY(!f.find<QAction>("FixDuplicatesPOP")->isVisible());
    }

    // "Copy All" copies the list it was opened on, every line ended by CR LF.
    void copyAllPutsTheListOnTheClipboard() {
        WindowFixture f;
        f.openSample();
        TMainFRM& w = f.window();

        openEditMenuOn(f, "DuplicatesLB");
        QVERIFY(triggerAction(&w, "CopyLBMEN"));
        QCOMPARE(QApplication::clipboard()->text(), QString("pc1\r\n"));

        openEditMenuOn(f, "LogLB");
        QVERIFY(triggerAction(&w, "CopyLBMEN"));
        std::string expected;
        for (const std::string& line : lines(w, LineList::Log)) {
            expected += line + "\r\n";
        }
        QCOMPARE(QApplication::clipboard()->text().toStdString(), expected);

        openEditMenuOn(f, "NodeStatsLB");  // empty
        QVERIFY(triggerAction(&w, "CopyLBMEN"));
        QCOMPARE(QApplication::clipboard()->text(), QString());
    }

    // While an open pumps: wait cursor, and exactly Panel1, "DB" and "Tools" disabled.
    void busyDisablesPanelAndMenusWhileOpenPumps() {
        WindowFixture f;
        f.window().setPumpInterval(0);
        DatabaseBuilder db;
        for (int i = 0; i < 20; ++i) {
            db.addNode("NODE" + std::to_string(i));
        }
        db.write(f.folder());

        struct Seen {
            bool ran = false, panel = true, db = true, dbItem = true, tools = true, help = false,
                 info = false, waitCursor = false, progressArea = false;
            QString action;
        } seen;
        QTimer::singleShot(0, &f.window(), [&] {
            seen.ran = true;
            seen.panel = f.find<QWidget>("Panel1")->isEnabled();
            seen.db = f.find<QMenu>("menDB1")->menuAction()->isEnabled();
            seen.dbItem = f.find<QMenu>("menDB1")->isEnabled();
            seen.tools = f.find<QMenu>("menTools1")->menuAction()->isEnabled();
            seen.help = f.find<QMenu>("Help1")->menuAction()->isEnabled();
            seen.info = f.find<QAction>("Info1")->isEnabled();
            seen.waitCursor = QApplication::overrideCursor() != nullptr &&
                              QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            seen.progressArea = shown(f.find<QWidget>("Panel2"));
            seen.action = f.find<QLabel>("ActionLAB")->text();
        });
        f.openFolder(f.folder());

        QVERIFY(seen.ran);
        QVERIFY(!seen.panel);
        QVERIFY(!seen.db);
        QVERIFY(!seen.dbItem);
        QVERIFY(!seen.tools);
        QVERIFY(seen.help);
        QVERIFY(seen.info);
        QVERIFY(seen.waitCursor);
        QVERIFY(seen.progressArea);
        QCOMPARE(seen.action, QString("Opening"));

        QVERIFY(f.find<QWidget>("Panel1")->isEnabled());
        QVERIFY(f.find<QMenu>("menDB1")->menuAction()->isEnabled());
        QVERIFY(f.find<QMenu>("menTools1")->menuAction()->isEnabled());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QCOMPARE(f.find<QProgressBar>("ProgressPG")->value(), 100);
    }

    // The pump lets the event loop run only when its interval has passed; the progress bar
    // still ends on the final position.
    void pumpIsThrottled() {
        WindowFixture f;
        f.window().setPumpInterval(60 * 60 * 1000);
        DatabaseBuilder db;
        for (int i = 0; i < 50; ++i) {
            db.addNode("NODE" + std::to_string(i));
        }
        db.write(f.folder());
        bool ran = false;
        QTimer::singleShot(0, &f.window(), [&] { ran = true; });
        f.openFolder(f.folder());
        QVERIFY(!ran);
        QCOMPARE(f.find<QProgressBar>("ProgressPG")->value(), 100);
        QCoreApplication::processEvents();
        QVERIFY(ran);
    }

    // A close request while an open pumps waits for the open to end, then is asked as usual.
    void closeWhileBusyIsDeferred() {
        WindowFixture f;
        f.window().setPumpInterval(0);
        DatabaseBuilder db;
        for (int i = 0; i < 20; ++i) {
            db.addNode("NODE" + std::to_string(i));
        }
        db.write(f.folder());
        bool stillOpenAfterRequest = false;
        QTimer::singleShot(0, &f.window(), [&] {
            f.window().close();
            stillOpenAfterRequest = f.window().isVisible();
        });
        f.openFolder(f.folder());
        QVERIFY(stillOpenAfterRequest);
        QCOMPARE(f.window().nodeListModel()->rowCount(), 20);  // the open ran to its end
        QTRY_VERIFY(!f.window().isVisible());
    }

    // Exceptions that escape a command, or any event handler, show the error box (with the
    // full stop the box adds) and end as the last line of the log.
    void exceptionHandlerShowsAndLogs() {
        FaultyFileSystem faulty(localFileSystem());
        WindowFixture f(faulty);
        f.openSample();
        faulty.failAt(FileOp::WriteFile, 1);

        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        std::vector<ScriptedPrompts::Shown> boxes = f.prompts().takeShown();
        QCOMPARE(boxes.size(), std::size_t{1});
        QCOMPARE(boxes[0].kind, ScriptedPrompts::Kind::Error);
        const std::string logged =
            f.window().lineAt(LineList::Log, f.window().lineCount(LineList::Log) - 1);
        QVERIFY(logged.starts_with("Cannot create file"));
        QCOMPARE(boxes[0].text.toStdString(), logged + ".");

        ThrowingObject thrower;
        thrower.message = "Boom (from an event handler)";
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        QCoreApplication::processEvents();
        boxes = f.prompts().takeShown();
        QCOMPARE(boxes.size(), std::size_t{1});
        QCOMPARE(boxes[0].text, QString("Boom (from an event handler)"));  // ")" takes no stop
        QCOMPARE(f.window().lineAt(LineList::Log, f.window().lineCount(LineList::Log) - 1),
                 std::string("Boom (from an event handler)"));
    }

    // A line wider than its list can be scrolled to: the sideways range is the widest line's
    // overhang, and goes with the lines.
    void lineListsScrollSidewaysToTheirWidestLine() {
        WindowFixture f;
        f.find<QTabWidget>("PageControl")->setCurrentIndex(3);
        auto* log = f.find<LineListView>("LogLB");
        const int room = log->viewport()->width();
        const std::string wide(static_cast<std::size_t>(room / 4), 'W');
        std::string wider;  // not ASCII: measured another way
        for (int i = 0; i < room / 3; ++i) {
            wider += "\xC3\x89";  // É
        }
        const struct {
            std::string line;
            bool scrolls;
        } steps[] = {{"short", false},
                     {wide + " the end", true},
                     {"short again", true},
                     {wider + " the end", true}};
        for (const auto& step : steps) {
            f.window().log(step.line);
            QTRY_COMPARE(log->horizontalScrollBar()->maximum() > 0, step.scrolls);
            const int width =
                log->fontMetrics().horizontalAdvance(QString::fromStdString(step.line));
            QVERIFY(log->lineWidth() > width);
            QTRY_VERIFY(log->horizontalScrollBar()->maximum() >= width - log->viewport()->width());
        }
        f.window().clearLines(LineList::Log);
        QTRY_COMPARE(log->horizontalScrollBar()->maximum(), 0);
    }

    // At the window's first size a long health text and the marked count show whole; the
    // connection text gives up its room first, and keeps its whole text as the tooltip.
    void statusTextsShowWholeAtTheFirstSize() {
        WindowFixture f;
        f.openSample();
        TMainFRM& w = f.window();
        const std::string folder = "/srv/inventory/site-with-a-long-name/" + std::string(60, 'x');
        w.showConnected(folder);
        w.setHealthText("Status : 12345 Duplicate Records Deleted.  Active(12327) Inactive(18)");
        auto* bar = f.find<QWidget>("StatusBar");
        auto* connection = f.find<QLabel>("StatusPanel1");
        auto* health = f.find<QLabel>("StatusPanel3");
        QTRY_VERIFY(bar->rect().contains(health->geometry()));  // once laid out again
        QVERIFY(connection->width() <
                connection->fontMetrics().horizontalAdvance(connection->text()));
        QCOMPARE(connection->text().toStdString(), "Connected : " + folder);
        QCOMPARE(connection->toolTip(), connection->text());
        for (const char* name : {"StatusPanel3", "MarkedPanel"}) {
            auto* panel = f.find<QLabel>(name);
            QVERIFY2(!panel->isHidden(), name);
            QVERIFY2(panel->contentsRect().width() >=
                         panel->fontMetrics().horizontalAdvance(panel->text()),
                     name);
            QVERIFY2(bar->rect().contains(panel->geometry()), name);
        }
        // Short enough to fit, the connection text has no tooltip.
        w.showConnected("/srv");
        QCOMPARE(connection->toolTip(), QString());
    }

    // The log shows its newest line.
    void logFollowsItsNewestLine() {
        WindowFixture f;
        f.find<QTabWidget>("PageControl")->setCurrentIndex(3);
        for (int i = 0; i < 200; ++i) {
            f.window().log("line " + std::to_string(i));
        }
        auto* log = f.find<QListView>("LogLB");
        const QModelIndex last = log->model()->index(199, 0);
        QTRY_VERIFY(log->viewport()->rect().intersects(log->visualRect(last)));
    }
};

KAVRIN_FORMS_TEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
