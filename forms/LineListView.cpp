#include "forms/LineListView.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

namespace kavrin {

void LineListModel::append(std::string line) {
    const int row = static_cast<int>(m_lines.size());
    beginInsertRows({}, row, row);
    m_lines.push_back(std::move(line));
    endInsertRows();
}

void LineListModel::clear() {
    if (m_lines.empty()) {
        return;
    }
    beginResetModel();
    m_lines.clear();
    m_lines.shrink_to_fit();
    endResetModel();
}

int LineListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

QVariant LineListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(m_lines.size()) ||
        role != Qt::DisplayRole) {
        return {};
    }
    return QString::fromStdString(m_lines[static_cast<std::size_t>(index.row())]);
}

LineListDelegate::LineListDelegate(int lineHeight, QObject* parent)
    : QStyledItemDelegate(parent), m_lineHeight(lineHeight) {}

void LineListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    const QWidget* view = option.widget;
    const QPalette& palette = view != nullptr ? view->palette() : option.palette;
    painter->save();
    painter->setClipRect(option.rect);
    painter->fillRect(option.rect, palette.color(QPalette::Active, QPalette::Base));
    painter->setPen(palette.color(QPalette::Active, QPalette::Text));
    painter->setFont(option.font);
    // No Qt::TextShowMnemonic: an ampersand is drawn as itself. No wrapping, no elision.
    painter->drawText(option.rect.adjusted(3, 0, 0, 0),
                      Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                      index.data(Qt::DisplayRole).toString());
    painter->restore();
    if ((option.state & QStyle::State_HasFocus) != 0) {
        QStyleOptionFocusRect focus;
        focus.QStyleOption::operator=(option);
        focus.backgroundColor = palette.color(QPalette::Active, QPalette::Base);
        QStyle* style = view != nullptr ? view->style() : QApplication::style();
        style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, view);
    }
}

QSize LineListDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    // One size for all (the view's items are uniform): the widest line's.
    return {m_lineWidth, m_lineHeight};
}

LineListView::LineListView(const QString& objectName, int lineHeight, QWidget* parent)
    : QListView(parent),
      m_model(new LineListModel(this)),
      m_delegate(new LineListDelegate(lineHeight, this)),
      m_lineHeight(lineHeight) {
    setObjectName(objectName);
    setModel(m_model);
    setItemDelegate(m_delegate);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setContextMenuPolicy(Qt::CustomContextMenu);
    measureCharacters();
}

void LineListView::appendLine(std::string line) {
    measure(line);
    m_model->append(std::move(line));
}

void LineListView::clearLines() {
    m_model->clear();
    setLineWidth(0);
}

void LineListView::measureCharacters() {
    const QFontMetrics metrics = fontMetrics();
    for (std::size_t c = 0; c < m_asciiWidths.size(); ++c) {
        m_asciiWidths[c] = metrics.horizontalAdvance(QChar(static_cast<char16_t>(c)));
    }
    m_widestCharacter = metrics.maxWidth();
}

void LineListView::measure(const std::string& line) {
    constexpr int kIndent = 3;  // as the delegate draws it, and as much again on the right
    int width = 0;
    bool ascii = true;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= m_asciiWidths.size()) {
            ascii = false;
            break;
        }
        width += m_asciiWidths[byte];
    }
    if (ascii) {
        // Kerning may add a pixel here and there to the sum of the characters.
        width += width / 50 + 2 * kIndent;
    } else {
        // No character is wider than the font's widest, and none takes less than a byte.
        const auto bound = static_cast<long long>(line.size()) * m_widestCharacter + 2 * kIndent;
        if (bound <= m_lineWidth) {
            return;
        }
        width = fontMetrics().horizontalAdvance(QString::fromStdString(line)) + 2 * kIndent;
    }
    if (width > m_lineWidth) {
        setLineWidth(width);
    }
}

void LineListView::setLineWidth(int width) {
    if (width == m_lineWidth) {
        return;
    }
    m_lineWidth = width;
    m_delegate->setLineWidth(std::max(width, 1));
    // The views cache the size of uniform items; a new layout asks the delegate again.
    scheduleDelayedItemsLayout();
}

void LineListView::changeEvent(QEvent* event) {
    QListView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        // Widths measured in the old font say nothing in the new one.
        measureCharacters();
        m_lineWidth = 0;
        for (std::size_t i = 0; i < m_model->count(); ++i) {
            measure(m_model->at(i));
        }
        m_delegate->setLineWidth(std::max(m_lineWidth, 1));
        scheduleDelayedItemsLayout();
    }
}

}  // namespace kavrin
