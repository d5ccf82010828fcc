#pragma once

#include <QAbstractListModel>
#include <QColor>
#include <QListView>
#include <QStyledItemDelegate>
#include <array>
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

// Draws a line as the line lists always did: 3 pixels in, one line, ampersands as they are, not
// elided, and a selected line looking like any other. Every line is as wide as the widest one,
// so that the list scrolls sideways to the end of a line wider than it.
class LineListDelegate : public QStyledItemDelegate {
public:
    LineListDelegate(int lineHeight, QObject* parent);

    void setLineWidth(int width) { m_lineWidth = width; }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    int m_lineHeight;
    int m_lineWidth = 1;
};

// A line list: the text lines of one page, with a fixed line height, drawn in the colour of its
// palette's text, with a horizontal scroll bar while a line is wider than the list.
class LineListView : public QListView {
public:
    LineListView(const QString& objectName, int lineHeight, QWidget* parent);

    void appendLine(std::string line);
    void clearLines();
    std::size_t lineCount() const { return m_model->count(); }
    const std::string& lineAt(std::size_t index) const { return m_model->at(index); }
    int lineHeight() const { return m_lineHeight; }
    // The width a line needs to show whole: the widest line's text and its indent.
    int lineWidth() const { return m_lineWidth; }

protected:
    void changeEvent(QEvent* event) override;

private:
    // Widens the lines to `line`'s width when it is the widest so far. A line of ASCII text is
    // summed from the widths of its characters, looked up: shaping every line of a log of
    // 100,000 lines would cost half a second. Any other line is measured when it could be wider.
    void measure(const std::string& line);
    void setLineWidth(int width);
    // The ASCII characters' widths in the current font.
    void measureCharacters();

    LineListModel* m_model;
    LineListDelegate* m_delegate;
    int m_lineHeight;
    int m_lineWidth = 0;
    std::array<int, 128> m_asciiWidths{};
    int m_widestCharacter = 0;
};

}  // namespace kavrin
