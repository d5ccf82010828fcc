#pragma once

#include <QTreeView>

namespace kavrin {

// The node list's view: flat rows, whole-row multi-selection, no editing, no sorting of its own
// (header clicks go to the engine). Tells when a mouse button or a key is released over it, after
// the view has updated its selection.
class NodeListView : public QTreeView {
    Q_OBJECT
public:
    explicit NodeListView(QWidget* parent);

signals:
    void mouseUp();
    void keyUp();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
};

}  // namespace kavrin
