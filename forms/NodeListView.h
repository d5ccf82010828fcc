#pragma once

#include <QTreeView>
#include <cstddef>
#include <optional>
#include <vector>

class QAction;
class QMenu;

namespace kavrin {

class NodeListModel;

// The node list's view: flat rows, whole-row multi-selection, no editing, no sorting of its own
// (header clicks go to the engine, or to the model for the window's own columns). Tells when a
// mouse button or a key is released over it, after the view has updated its selection.
//
// Rows are spoken of as the engine's (the list's row numbers) wherever they leave the view:
// the model may show a filtered or reordered part of the list.
class NodeListView : public QTreeView {
    Q_OBJECT
public:
    explicit NodeListView(QWidget* parent);

    // Shows `model` (null: nothing), its columns at their designed widths, the window's own
    // columns hidden.
    void setNodeModel(NodeListModel* model);

    // The rows selected, each counted once however the selection's ranges overlap.
    std::size_t selectedCount() const;
    // The list's row selected nearest the top of the view, whatever order the rows were
    // selected in.
    std::optional<std::size_t> firstSelected() const;
    // Whether the list's row `row` is selected; a row the filter hides never is.
    bool isSelected(std::size_t row) const;

    // Filters the rows by `text` (NodeNameFilter); the rows still shown stay selected, the
    // current one in view.
    void setFilterText(const QString& text);
    // Selects exactly the list's rows `rows` (the shown ones), the first of them in the view
    // made current and scrolled to.
    void selectNodes(const std::vector<std::size_t>& rows);
    // Scrolls the current row into view, or else the top selected one.
    void scrollToSelection();

    // The checkable actions of the header's menu that show the window's own columns, by column.
    QAction* columnAction(int column) const;
    // Which of the window's own columns are shown, by their header titles.
    QStringList shownOwnColumns() const;
    void showOwnColumns(const QStringList& titles);

signals:
    void mouseUp();
    void keyUp();
    // The user showed or hid a column.
    void columnsChosen();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    void buildColumnsMenu();
    void setOwnColumnShown(int column, bool shown);
    // Selects the model rows `rows` (ascending), by runs of neighbours.
    void selectModelRows(const std::vector<int>& rows);

    NodeListModel* m_model = nullptr;
    QMenu* m_columnsMenu = nullptr;
    std::vector<QAction*> m_columnActions;  // by column; null for the engine's
};

}  // namespace kavrin
