#include <QAbstractItemModelTester>
#include <QIcon>
#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QSignalSpy>
#include <QTest>
#include <string>

#include "FormsTestSupport.h"
#include "engine/open/NodeList.h"
#include "forms/Artwork.h"
#include "forms/NodeListModel.h"
#include "forms/NodeListView.h"

using namespace kavrin;

namespace {

NodeEntry entry(const std::string& caption, std::uint32_t offset, bool active = true,
                bool unique = true) {
    NodeEntry e;
    e.caption = caption;
    e.data = offset;
    e.active = active;
    e.unique = unique;
    return e;
}

}  // namespace

// A list behind a model that hears of its changes, checked by Qt's model tester while it lives.
struct WatchedList {
    WatchedList() { nodes.setObserver(&model); }
    ~WatchedList() { nodes.setObserver(nullptr); }
    WatchedList(const WatchedList&) = delete;
    WatchedList& operator=(const WatchedList&) = delete;

    NodeList nodes;
    NodeListModel model{nodes, nullptr};
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::QtTest};
};

class NodeListModelTest : public QObject {
    Q_OBJECT

    static bool asciiLessStatic(const NodeEntry& a, const NodeEntry& b) {
        return a.caption < b.caption;
    }

private slots:
    // A bulk fill reaches the view as one reset; cells show captions from the code page, the
    // sub-item texts and the icons of the right images.
    void bulkFillIsOneResetWithTheRowsData() {
        WatchedList list;
        NodeList& nodes = list.nodes;
        NodeListModel& model = list.model;
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);

        nodes.beginUpdate();
        nodes.clear();
        nodes.addRow(entry("PC1", 0));
        nodes.addRow(entry("CAF\xC9", 765, false, false));  // "CAFÉ" in the ANSI code page
        QCOMPARE(model.rowCount(), 0);                      // not told before the bracket ends
        nodes.endUpdate();

        QCOMPARE(resets.count(), 1);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.columnCount(), int{NodeListModel::kColumnCount});
        QCOMPARE(model.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Node"));
        QCOMPARE(model.headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QString("Unique"));
        QCOMPARE(model.index(1, 0).data().toString(), QString::fromUtf8("CAF\xC3\x89"));
        QCOMPARE(model.index(1, 1).data().toString(), QString("0x000002FD"));
        QCOMPARE(model.index(1, 2).data().toString(), QString("False"));
        QCOMPARE(model.index(1, 3).data().toString(), QString("False"));

        auto iconKey = [&](int row, int column) {
            return qvariant_cast<QIcon>(model.index(row, column).data(Qt::DecorationRole))
                .cacheKey();
        };
        QCOMPARE(iconKey(0, 0), imageListIcon(kIconLive).cacheKey());
        QVERIFY(!model.index(0, 1).data(Qt::DecorationRole).isValid());  // "Index" has no icon
        QCOMPARE(iconKey(0, 2), imageListIcon(kIconActive).cacheKey());
        QCOMPARE(iconKey(1, 2), imageListIcon(kIconInactive).cacheKey());
        QCOMPARE(iconKey(0, 3), imageListIcon(kIconUnique).cacheKey());
        QCOMPARE(iconKey(1, 3), imageListIcon(kIconDuplicate).cacheKey());
        QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
    }

    // Marking changes a row's icon in place: a dataChanged over that row, and the marked image.
    void iconChangeRepaintsItsRow() {
        WatchedList list;
        NodeList& nodes = list.nodes;
        NodeListModel& model = list.model;
        for (int i = 0; i < 5; ++i) {
            nodes.addRow(entry("N" + std::to_string(i), static_cast<std::uint32_t>(765 * i)));
        }
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        nodes.setIcon(3, kIconMarked);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed[0][0].value<QModelIndex>().row(), 3);
        QCOMPARE(changed[0][1].value<QModelIndex>().row(), 3);
        QCOMPARE(qvariant_cast<QIcon>(model.index(3, 0).data(Qt::DecorationRole)).cacheKey(),
                 imageListIcon(kIconMarked).cacheKey());
    }

    // A sort by the engine moves the rows under the view: the selection and the current row
    // stay on the same entries, not on the same positions.
    void sortKeepsSelectionOnItsRows() {
        WatchedList list;
        NodeList& nodes = list.nodes;
        NodeListModel& model = list.model;
        for (const char* name : {"DELTA", "ALPHA", "CHARLIE", "BRAVO", "ECHO"}) {
            nodes.addRow(entry(name, 0));
        }
        QItemSelectionModel selection(&model);
        selection.select(model.index(0, 0),
                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection.select(model.index(2, 0),
                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection.setCurrentIndex(model.index(4, 0), QItemSelectionModel::NoUpdate);
        QPersistentModelIndex bravo = model.index(3, 0);

        nodes.sort(&NodeListModelTest::asciiLessStatic);

        auto selected = [&] {
            QStringList names;
            for (const QModelIndex& index : selection.selectedRows(0)) {
                names << index.data().toString();
            }
            names.sort();
            return names;
        };
        QCOMPARE(model.index(0, 0).data().toString(), QString("ALPHA"));
        QCOMPARE(bravo.row(), 1);
        QCOMPARE(selection.currentIndex().data().toString(), QString("ECHO"));
        QCOMPARE(selected(), QStringList({"CHARLIE", "DELTA"}));

        // The same when the rows move a piece at a time (a long list, the window pumped between
        // the pieces): after every piece too.
        int pieces = 1;
        nodes.reorder({4, 3, 2, 1, 0}, 2, [&] {
            ++pieces;
            QCOMPARE(selected(), QStringList({"CHARLIE", "DELTA"}));
            QCOMPARE(selection.currentIndex().data().toString(), QString("ECHO"));
        });
        QCOMPARE(pieces, 3);
        QCOMPARE(model.index(0, 0).data().toString(), QString("ECHO"));
        QCOMPARE(bravo.row(), 3);
        QCOMPARE(selection.currentIndex().data().toString(), QString("ECHO"));
        QCOMPARE(selected(), QStringList({"CHARLIE", "DELTA"}));
    }

    // Under a filter the model shows a part of the list, translated both ways; the engine's
    // sorts (whole or in pieces) and marks keep the filter and move the selection with its rows,
    // a mark repaints only rows shown, and a new list is filtered as it comes.
    void filteredRowsFollowTheListsChanges() {
        WatchedList list;
        NodeList& nodes = list.nodes;
        NodeListModel& model = list.model;
        for (const char* name : {"PC-3", "LT-1", "PC-1", "SRV-2", "PC-2", "LT-2"}) {
            nodes.addRow(entry(name, 0));
        }
        model.setFilter("pc");
        auto shown = [&] {
            QStringList names;
            for (int row = 0; row < model.rowCount(); ++row) {
                const std::size_t node = model.nodeRow(row);
                // Both ways or not at all: a row that does not come back is shown as lost.
                names << (model.rowOfNode(node) == row
                              ? QString::fromStdString(nodes.row(node).caption)
                              : QStringLiteral("(lost)"));
            }
            return names;
        };
        QCOMPARE(shown(), QStringList({"PC-3", "PC-1", "PC-2"}));
        QCOMPARE(model.rowOfNode(1), -1);  // LT-1
        QCOMPARE(model.nodeCount(), std::size_t{6});

        QItemSelectionModel selection(&model);
        selection.select(model.index(1, 0), QItemSelectionModel::Select);             // PC-1
        selection.setCurrentIndex(model.index(2, 0), QItemSelectionModel::NoUpdate);  // PC-2
        nodes.sort(&NodeListModelTest::asciiLessStatic);
        QCOMPARE(shown(), QStringList({"PC-1", "PC-2", "PC-3"}));
        QCOMPARE(selection.selectedIndexes().value(0).data().toString(), QString("PC-1"));
        QCOMPARE(selection.currentIndex().data().toString(), QString("PC-2"));
        nodes.reorder({5, 4, 3, 2, 1, 0}, 2, [] {});
        QCOMPARE(shown(), QStringList({"PC-3", "PC-2", "PC-1"}));
        QCOMPARE(selection.selectedIndexes().value(0).data().toString(), QString("PC-1"));

        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        nodes.mark(model.nodeRow(1), "by hand");                             // PC-2
        nodes.mark(static_cast<std::size_t>(nodes.count() - 1), "by hand");  // hidden
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(shown(), QStringList({"PC-3", "PC-2", "PC-1"}));

        nodes.beginUpdate();
        nodes.clear();
        for (const char* name : {"pc-9", "LT-9"}) {
            nodes.addRow(entry(name, 0));
        }
        nodes.endUpdate();
        QCOMPARE(shown(), QStringList({"pc-9"}));
        model.setFilter({});
        QCOMPARE(shown(), QStringList({"pc-9", "LT-9"}));
    }

    // A list of 100,000 rows fills, selects whole and sorts in a view without per-row cost.
    void hundredThousandRowsReachTheViewInOneSignalEach() {
        NodeList nodes;
        NodeListModel model(nodes, nullptr);
        nodes.setObserver(&model);
        NodeListView view(nullptr);
        view.setNodeModel(&model);
        view.resize(400, 300);
        view.show();

        // The view must hear of a batch and of a sort once each, never row by row: per-row
        // signals make a list of this size take seconds to fill or sort.
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        QSignalSpy layouts(&model, &QAbstractItemModel::layoutChanged);
        nodes.beginUpdate();
        for (std::uint32_t i = 0; i < 100000; ++i) {
            nodes.addRow(entry("NODE" + std::to_string((i * 7919) % 100000), 765 * i));
        }
        nodes.endUpdate();
        view.selectAll();
        nodes.sort(&NodeListModelTest::asciiLessStatic);
        QCoreApplication::processEvents();

        QCOMPARE(model.rowCount(), 100000);
        QCOMPARE(view.selectedCount(), std::size_t{100000});
        QCOMPARE(model.index(0, 0).data().toString(), QString("NODE0"));
        QCOMPARE(inserted.count(), 0);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(resets.count(), 1);
        QCOMPARE(layouts.count(), 1);
        nodes.setObserver(nullptr);
    }
};

KAVRIN_FORMS_TEST_MAIN(NodeListModelTest)
#include "NodeListModelTest.moc"
