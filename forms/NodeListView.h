#pragma once

#include <QTreeView>
#include <cstddef>
#include <optional>

namespace kavrin {

class NodeListModel;

// The node list's view: flat rows, whole-row multi-selection, no editing, no sorting of its own
// (header clicks go to the engine). Tells when a mouse button or a key is released over it, after
// the view has updated its selection.
class NodeListView : public QTreeView {
    Q_OBJECT
public:
    explicit NodeListView(QWidget* parent);

    // Shows `model` (null: nothing), its columns at their designed widths.
    void setNodeModel(NodeListModel* model);

    // The rows selected, each counted once however the selection's ranges overlap.
    std::size_t selectedCount() const;
    // The selected row nearest the top, whatever order the rows were selected in.
    std::optional<std::size_t> firstSelected() const;
    bool isSelected(std::size_t row) const;

signals:
    void mouseUp();
    void keyUp();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
};

}  // namespace kavrin
