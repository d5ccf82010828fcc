#include "forms/LineListView.h"

#include <QApplication>
#include <QPainter>

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
    // The width plays no part: every line spans the list and is cut at its edge.
    return {1, m_lineHeight};
}

LineListView::LineListView(const QString& objectName, int lineHeight, QWidget* parent)
    : QListView(parent), m_model(new LineListModel(this)), m_lineHeight(lineHeight) {
    setObjectName(objectName);
    setModel(m_model);
    setItemDelegate(new LineListDelegate(lineHeight, this));
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setContextMenuPolicy(Qt::CustomContextMenu);
}

}  // namespace kavrin
