#pragma once

#include <QAbstractListModel>
#include <QColor>
#include <QListView>
#include <QStyledItemDelegate>
#include <cstddef>
#include <string>
#include <vector>

namespace kavrin {

// The lines of one line list, held as the engine gives them (UTF-8).
class LineListModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    void append(std::string line);
    void clear();
    std::size_t count() const { return m_lines.size(); }
    const std::string& at(std::size_t index) const { return m_lines[index]; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::vector<std::string> m_lines;
};

// Draws a line as the line lists always did: 3 pixels in, one line, ampersands as they are, cut
// (not elided) at the edge, and a selected line looking like any other.
class LineListDelegate : public QStyledItemDelegate {
public:
    LineListDelegate(int lineHeight, QObject* parent);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    int m_lineHeight;
};

// A line list: the text lines of one page, with a fixed line height, drawn in the colour of its
// palette's text.
class LineListView : public QListView {
public:
    LineListView(const QString& objectName, int lineHeight, QWidget* parent);

    void appendLine(std::string line) { m_model->append(std::move(line)); }
    void clearLines() { m_model->clear(); }
    std::size_t lineCount() const { return m_model->count(); }
    const std::string& lineAt(std::size_t index) const { return m_model->at(index); }
    int lineHeight() const { return m_lineHeight; }

private:
    LineListModel* m_model;
    int m_lineHeight;
};

}  // namespace kavrin
