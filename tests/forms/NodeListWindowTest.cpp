#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QSettings>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTreeView>

#include "FormsTestSupport.h"
#include "forms/NodeListModel.h"
#include "support/text/DateTimeText.h"

using namespace kavrin;
using namespace kavrin::test;

namespace {

using Lines = std::vector<std::string>;

// The sample's names and "café" (in the code page), each with a Last Online and a User of its
// own, so that every order of the window's own columns is a different one.
struct FindingNode {
    const char* name;
    double lastOnline;
    const char* user;
};
const FindingNode kFindingNodes[] = {
    {"PC1", 45003, "bob"},      {"SRV-A", 45001, "Eve"},    {"pc1", 45008, "al"},
    {"LAPTOP7", 45000, "dora"}, {"DESK&CO", 45006, "Carl"}, {"ZETA", 45002, "ann"},
    {"ALPHA", 45007, "Finn"},   {"PC8", 45004, "gus"},      {"caf\xE9", 45005, "hal"}};
const char* const kCafe = "caf\xC3\xA9";  // as the list shows it

// After the open (duplicates first, then by name), in the engine's order.
const Lines kOpened = {"PC1", "pc1", "ALPHA", kCafe, "DESK&CO", "LAPTOP7", "PC8", "SRV-A", "ZETA"};

void openFindingDatabase(WindowFixture& f) {
    DatabaseBuilder db;
    for (const FindingNode& node : kFindingNodes) {
        NodeSpec fields;
        fields.name = node.name;
        fields.lastOnline = node.lastOnline;
        fields.user = node.user;
        db.addInstall(db.addNode(fields), 0);
    }
    db.addTitle(7);
    f.prompts().answers.push_back(Answer::No);  // the offer to fix the duplicates
    f.openDatabase(db);
    f.prompts().shown.clear();
}

QLineEdit* filterBox(WindowFixture& f) {
    return f.find<QLineEdit>("NodeFilterEDT");
}

QString filterLabel(WindowFixture& f) {
    return f.find<QLabel>("NodeFilterLBL")->text();
}

// Typed key by key where QTest has the keys; the rest as an input method would give it.
void typeFilter(WindowFixture& f, const QString& text) {
    filterBox(f)->clear();
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClicks(filterBox(f), QString(c));
        } else {
            filterBox(f)->insert(QString(c));
        }
    }
}

QTreeView* nodesView(WindowFixture& f) {
    return f.find<QTreeView>("NodesLV");
}

void clickHeader(WindowFixture& f, int column) {
    QHeaderView* header = nodesView(f)->header();
    const QPoint pos(header->sectionViewportPosition(column) + 10, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, pos);
}

std::pair<int, Qt::SortOrder> sortIndicator(WindowFixture& f) {
    const QHeaderView* header = nodesView(f)->header();
    return {header->sortIndicatorSection(), header->sortIndicatorOrder()};
}

// The engine's rows, in its order.
Lines engineCaptions(WindowFixture& f) {
    Lines captions;
    for (const NodeEntry& entry : f.engine().nodeList().rows()) {
        captions.push_back(entry.caption);
    }
    return captions;
}

Lines markedCaptions(WindowFixture& f) {
    Lines marked;
    for (const NodeEntry& entry : f.engine().nodeList().rows()) {
        if (entry.marked()) {
            marked.push_back(entry.caption);
        }
    }
    return marked;
}

std::size_t engineRow(WindowFixture& f, const std::string& caption) {
    const Lines rows = engineCaptions(f);
    return static_cast<std::size_t>(std::find(rows.begin(), rows.end(), caption) - rows.begin());
}

// A press, a move by `by` and a release on the handle, as a user drags it.
void dragSplitter(QSplitter* splitter, int by) {
    QWidget* handle = splitter->handle(1);
    const QPoint from = handle->rect().center();
    const QPoint to = from + QPoint(by, 0);
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, handle->mapToGlobal(at), Qt::LeftButton, buttons, {});
        QApplication::sendEvent(handle, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::NoButton);
}

}  // namespace

class NodeListWindowTest : public QObject {
    Q_OBJECT

private slots:
    // Part of a name, or a pattern of the whole name, without regard to case as duplicates are
    // found; the rows keep the engine's order and the label counts them.
    void filterNarrowsTheRows_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Lines>("shown");
        QTest::addColumn<QString>("label");
        QTest::newRow("empty") << "" << kOpened << "9 nodes";
        QTest::newRow("part, any case") << "pc" << Lines{"PC1", "pc1", "PC8"} << "3 of 9 nodes";
        QTest::newRow("part inside") << "C1" << Lines{"PC1", "pc1"} << "2 of 9 nodes";
        QTest::newRow("sign") << "&co" << Lines{"DESK&CO"} << "1 of 9 nodes";
        QTest::newRow("accent folded")
            << QString::fromUtf8("CAF\xC3\x89") << Lines{kCafe} << "1 of 9 nodes";
        QTest::newRow("accent is not its letter")
            << "e" << Lines{"DESK&CO", "ZETA"} << "2 of 9 nodes";
        QTest::newRow("star at the end") << "p*" << Lines{"PC1", "pc1", "PC8"} << "3 of 9 nodes";
        QTest::newRow("star first") << "*1" << Lines{"PC1", "pc1"} << "2 of 9 nodes";
        QTest::newRow("whole name") << "*a" << Lines{"ALPHA", "SRV-A", "ZETA"} << "3 of 9 nodes";
        QTest::newRow("star between") << "a*a" << Lines{"ALPHA"} << "1 of 9 nodes";
        QTest::newRow("one character each")
            << "?C?" << Lines{"PC1", "pc1", "PC8"} << "3 of 9 nodes";
        QTest::newRow("question on accent") << "caf?" << Lines{kCafe} << "1 of 9 nodes";
        QTest::newRow("every name") << "*" << kOpened << "9 of 9 nodes";
        QTest::newRow("no one-character name") << "?" << Lines{} << "0 of 9 nodes";
        QTest::newRow("nothing") << "zz" << Lines{} << "0 of 9 nodes";
        QTest::newRow("outside the code page")
            << QString::fromUtf8("\xD0\xB6") << Lines{} << "0 of 9 nodes";
    }
    void filterNarrowsTheRows() {
        QFETCH(QString, text);
        QFETCH(Lines, shown);
        QFETCH(QString, label);
        WindowFixture f;
        QCOMPARE(filterLabel(f), QString("0 nodes"));
        QVERIFY(!filterBox(f)->placeholderText().isEmpty());
        openFindingDatabase(f);
        typeFilter(f, text);
        QCOMPARE(f.captions(), shown);
        QCOMPARE(filterLabel(f), label);
        QCOMPARE(engineCaptions(f).size(), std::size_t{9});  // the engine's rows stay
    }

    // The engine hears of its own rows: a hidden row is never selected, so a delete marks only
    // what can be seen; the details are those of the row seen; a mark, a sort and an open keep
    // the filter.
    void theEngineSeesOnlyTheRowsShown() {
        WindowFixture f;
        openFindingDatabase(f);
        f.selectRows({f.rowOf("ZETA"), f.rowOf("PC8")});
        typeFilter(f, "pc");
        QCOMPARE(f.window().selectedCount(), std::size_t{1});
        QVERIFY(!f.window().isSelected(engineRow(f, "ZETA")));
        QVERIFY(f.window().isSelected(engineRow(f, "PC8")));
        QCOMPARE(f.window().firstSelected(), std::optional(engineRow(f, "PC8")));

        typeFilter(f, "a");
        f.selectRows({0});
        QCOMPARE(f.window().firstSelected(), std::optional(engineRow(f, "ALPHA")));
        f.engine().ShowSelectedNodeDetails();
        QCOMPARE(f.window().lineAt(LineList::NodeStats, 1), std::string("Name : ALPHA"));

        typeFilter(f, "pc");
        nodesView(f)->selectAll();
        QVERIFY(triggerAction(&f.window(), "DeleteNodeMEN"));
        QCOMPARE(markedCaptions(f), Lines({"PC1", "pc1", "PC8"}));
        QCOMPARE(f.captions(), Lines({"PC1", "pc1", "PC8"}));

        clickHeader(f, 0);  // descending by name
        QCOMPARE(f.captions(), Lines({"PC8", "PC1", "pc1"}));
        QCOMPARE(filterLabel(f), QString("3 of 9 nodes"));
        QCOMPARE(f.window().selectedCount(), std::size_t{3});

        f.prompts().answers.push_back(Answer::No);  // the marks: not committed
        f.prompts().answers.push_back(Answer::No);  // the offer to fix the duplicates
        f.openFolder(f.folder());
        QVERIFY(markedCaptions(f).empty());
        QCOMPARE(filterBox(f)->text(), QString("pc"));
        QCOMPARE(f.captions(), Lines({"PC1", "pc1", "PC8"}));
        QCOMPARE(filterLabel(f), QString("3 of 9 nodes"));
    }

    // Ctrl+F reaches the box from anywhere in the window; Escape in it shows every node again.
    void findKeyAndEscape() {
        WindowFixture f;
        openFindingDatabase(f);
        f.window().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f.window()));
        nodesView(f)->setFocus();
        QTest::keyClick(nodesView(f), Qt::Key_F, Qt::ControlModifier);
        QTRY_VERIFY(filterBox(f)->hasFocus());
        QTest::keyClicks(filterBox(f), "zeta");
        QCOMPARE(f.captions(), Lines({"ZETA"}));
        QTest::keyClick(filterBox(f), Qt::Key_Escape);
        QCOMPARE(filterBox(f)->text(), QString());
        QCOMPARE(f.captions(), kOpened);
        QCOMPARE(filterLabel(f), QString("9 nodes"));
    }

    // The header shows the order: the engine's for its four columns, the window's own for
    // "Last Online" and "User", which leave the engine's rows where they were.
    void sortIndicatorAndTheWindowsOwnColumns() {
        WindowFixture f;
        QVERIFY(!nodesView(f)->header()->isSortIndicatorShown());  // nothing open, no order
        openFindingDatabase(f);
        QVERIFY(nodesView(f)->header()->isSortIndicatorShown());
        QCOMPARE(sortIndicator(f), std::pair(3, Qt::AscendingOrder));  // the open's own order
        clickHeader(f, 0);
        QCOMPARE(sortIndicator(f), std::pair(0, Qt::DescendingOrder));
        const Lines engineOrder = engineCaptions(f);

        QVERIFY(triggerAction(&f.window(), "LastOnlineColumnMEN"));
        QVERIFY(triggerAction(&f.window(), "UserColumnMEN"));
        clickHeader(f, NodeListModel::kColumnLastOnline);
        QCOMPARE(sortIndicator(f), std::pair(4, Qt::AscendingOrder));
        QCOMPARE(f.captions(), Lines({"LAPTOP7", "SRV-A", "ZETA", "PC1", "PC8", kCafe, "DESK&CO",
                                      "ALPHA", "pc1"}));
        const QAbstractItemModel* model = f.window().nodeListModel();
        QCOMPARE(model->index(0, 4).data().toString().toStdString(), DateTimeText(45000));
        QCOMPARE(model->index(0, 5).data().toString(), QString("dora"));
        QCOMPARE(engineCaptions(f), engineOrder);

        clickHeader(f, NodeListModel::kColumnLastOnline);
        QCOMPARE(sortIndicator(f), std::pair(4, Qt::DescendingOrder));
        QCOMPARE(f.captions().front(), std::string("pc1"));

        clickHeader(f, NodeListModel::kColumnUser);  // without regard to case
        QCOMPARE(sortIndicator(f), std::pair(5, Qt::AscendingOrder));
        QCOMPARE(f.captions(), Lines({"pc1", "ZETA", "PC1", "DESK&CO", "LAPTOP7", "SRV-A", "ALPHA",
                                      "PC8", kCafe}));
        typeFilter(f, "pc");  // the order stays under a filter
        QCOMPARE(f.captions(), Lines({"pc1", "PC1", "PC8"}));
        QCOMPARE(engineCaptions(f), engineOrder);

        clickHeader(f, 1);  // the engine's order again
        QCOMPARE(sortIndicator(f).first, 1);
        Lines engineShown;
        for (const std::string& caption : engineCaptions(f)) {
            if (caption == "PC1" || caption == "pc1" || caption == "PC8") {
                engineShown.push_back(caption);
            }
        }
        QCOMPARE(f.captions(), engineShown);
    }

    // After a sort the current row is still to be seen, wherever it went.
    void currentRowStaysInViewAfterASort() {
        WindowFixture f;
        DatabaseBuilder db;
        for (int i = 0; i < 300; ++i) {
            db.addInstall(db.addNode("N" + std::to_string(1000 + i)), 0);
        }
        db.addTitle(1);
        f.openDatabase(db);
        QTreeView* view = nodesView(f);
        view->setCurrentIndex(view->model()->index(0, 0));
        clickHeader(f, 0);  // descending: the first name goes last
        QCOMPARE(view->currentIndex().row(), 299);
        QVERIFY(view->viewport()->rect().intersects(view->visualRect(view->currentIndex())));
        QCOMPARE(f.window().firstSelected(), std::optional<std::size_t>(299));
    }

    // A name in the Duplicates tab selects every row of it, the filter cleared if it hid one.
    void duplicateNameSelectsItsRows() {
        WindowFixture f;
        openFindingDatabase(f);
        typeFilter(f, "zeta");
        f.find<QTabWidget>("PageControl")->setCurrentIndex(1);
        auto* duplicates = f.find<QListView>("DuplicatesLB");
        const QRect line = duplicates->visualRect(duplicates->model()->index(0, 0));
        QTest::mouseClick(duplicates->viewport(), Qt::LeftButton, {}, line.center());

        QCOMPARE(filterBox(f)->text(), QString());
        QCOMPARE(f.window().selectedCount(), std::size_t{2});
        QVERIFY(f.window().isSelected(engineRow(f, "PC1")));
        QVERIFY(f.window().isSelected(engineRow(f, "pc1")));
        QCOMPARE(nodesView(f)->currentIndex().row(), f.rowOf("PC1"));
        QCOMPARE(f.find<QTabWidget>("PageControl")->currentIndex(), 1);
    }

    // The first view is the designed one; the columns shown and the splitter are kept in the
    // settings, and come back from them.
    void columnsAndSplitterAreRemembered() {
        TempFolder folder;
        QSettings settings(QString::fromStdString(folder.file("kept.conf")), QSettings::IniFormat);
        QList<int> moved;
        {
            WindowFixture f;
            f.window().rememberLocations(&settings);
            QHeaderView* header = nodesView(f)->header();
            QCOMPARE(header->count(), 6);
            QVERIFY(header->isSectionHidden(NodeListModel::kColumnLastOnline));
            QVERIFY(header->isSectionHidden(NodeListModel::kColumnUser));
            auto* splitter = f.find<QSplitter>("NodesSPL");
            QCOMPARE(splitter->sizes().front(), 365);
            QCOMPARE(nodesView(f)->width(), 365);

            const QPoint pos(10, header->height() / 2);
            QContextMenuEvent event(QContextMenuEvent::Mouse, pos,
                                    header->viewport()->mapToGlobal(pos));
            QApplication::sendEvent(header->viewport(), &event);
            auto* menu = f.find<QMenu>("NodeColumnsPOP");
            QTRY_VERIFY(menu->isVisible());
            menu->hide();
            QVERIFY(triggerAction(&f.window(), "UserColumnMEN"));
            QVERIFY(!header->isSectionHidden(NodeListModel::kColumnUser));
            QVERIFY(header->sectionSize(NodeListModel::kColumnUser) >
                    header->fontMetrics().horizontalAdvance("User"));

            dragSplitter(splitter, 40);
            moved = splitter->sizes();
            QVERIFY(moved.front() > 365 + 30);
        }
        WindowFixture again;
        again.window().rememberLocations(&settings);
        QHeaderView* header = nodesView(again)->header();
        QVERIFY(header->isSectionHidden(NodeListModel::kColumnLastOnline));
        QVERIFY(!header->isSectionHidden(NodeListModel::kColumnUser));
        QVERIFY(again.find<QAction>("UserColumnMEN")->isChecked());
        QCOMPARE(again.find<QSplitter>("NodesSPL")->sizes(), moved);
    }
};

KAVRIN_FORMS_TEST_MAIN(NodeListWindowTest)
#include "NodeListWindowTest.moc"
