#include "forms/uFrmPreview.h"

#include <QAbstractTableModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSizePolicy>
#include <QSortFilterProxyModel>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

#include "forms/Fonts.h"
#include "forms/Prompts.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

// The nodes a commit removes, a row each; the sort key of every cell is its value (numbers as
// numbers, texts without regard to case).
class RemovedNodesModel : public QAbstractTableModel {
public:
    enum Column { kNode, kIndex, kUser, kLastOnline, kInstalls, kReason, kColumns };

    RemovedNodesModel(const std::vector<RemovedNode>& nodes, QObject* parent)
        : QAbstractTableModel(parent), m_nodes(nodes) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : static_cast<int>(m_nodes.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : kColumns;
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::UserRole)) {
            return {};
        }
        const RemovedNode& node = m_nodes[static_cast<std::size_t>(index.row())];
        const bool key = role == Qt::UserRole;
        switch (index.column()) {
            case kNode:
                return QString::fromStdString(node.name);
            case kIndex:
                return key ? QVariant(node.offset) : QString::fromStdString(node.indexText);
            case kUser:
                return QString::fromStdString(node.user);
            case kLastOnline:
                return key ? QVariant(node.lastOnline)
                           : QString::fromStdString(DateTimeText(node.lastOnline));
            case kInstalls:
                return key ? QVariant(static_cast<qulonglong>(node.installs))
                           : QString::number(node.installs);
            case kReason:
                return QString::fromStdString(node.reason);
            default:
                return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        static const char* const kTitles[] = {"Node",        "Index",    "User",
                                              "Last Online", "Installs", "Reason"};
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= kColumns) {
            return {};
        }
        return QString::fromLatin1(kTitles[section]);
    }

private:
    const std::vector<RemovedNode>& m_nodes;
};

namespace {

QTreeWidget* table(QWidget* parent, const char* name, const QStringList& headers) {
    auto* widget = new QTreeWidget(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setRootIsDecorated(false);
    widget->setHeaderLabels(headers);
    widget->setSelectionMode(QAbstractItemView::NoSelection);
    widget->setFocusPolicy(Qt::NoFocus);
    return widget;
}

// A table that shows all its rows without scrolling where the screen has room, and scrolls
// (down to one row) where it has not; its first column takes the room left.
void fitRows(QTreeWidget* widget) {
    widget->header()->setStretchLastSection(false);
    for (int column = 1; column < widget->columnCount(); ++column) {
        widget->resizeColumnToContents(column);
    }
    widget->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    const int rows = widget->topLevelItemCount();
    const int rowHeight = rows > 0 ? widget->sizeHintForRow(0) : 0;
    const int chrome = widget->header()->sizeHint().height() + 2 * widget->frameWidth() + 2;
    widget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    widget->setMaximumHeight(chrome + rows * rowHeight);
    widget->setMinimumHeight(chrome + std::min(rows, 1) * rowHeight);
}

}  // namespace

TfrmPreview::TfrmPreview(QWidget* parent, CommitPreview preview, FileSystem& fs, Prompts& prompts)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_preview(std::move(preview)),
      m_fs(fs),
      m_prompts(prompts) {
    setObjectName(QStringLiteral("frmPreview"));
    setWindowTitle(QStringLiteral("Preview Commit"));
    setFont(tahomaFont(11));
    setModal(true);
    setSizeGripEnabled(true);

    Label1 = new QLabel(QStringLiteral("What a commit of the marked nodes would write and remove. "
                                       "Nothing has been written."),
                        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);

    TotalsLV = table(
        this, "TotalsLV",
        {QStringLiteral("File"), QStringLiteral("Records before"), QStringLiteral("Records after"),
         QStringLiteral("Bytes before"), QStringLiteral("Bytes after")});
    for (std::size_t file = 0; file < m_preview.before.size(); ++file) {
        const FileTotals& before = m_preview.before[file];
        const FileTotals& after = m_preview.after[file];
        auto* item = new QTreeWidgetItem(
            TotalsLV, {QString::fromStdString(databaseFileName(file)),
                       QString::number(before.records), QString::number(after.records),
                       QString::number(before.bytes), QString::number(after.bytes)});
        for (int column = 1; column < 5; ++column) {
            item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
        }
    }
    fitRows(TotalsLV);

    RemovalsLV = table(this, "RemovalsLV", {QStringLiteral("Totals"), QStringLiteral("Count")});
    for (const auto& [label, count] : previewRemovals(m_preview)) {
        auto* item = new QTreeWidgetItem(RemovalsLV,
                                         {QString::fromStdString(label), QString::number(count)});
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    }
    fitRows(RemovalsLV);

    buildRemovedList();

    SaveListBTN = new QPushButton(QStringLiteral("Save List..."), this);
    SaveListBTN->setObjectName(QStringLiteral("SaveListBTN"));
    SaveListBTN->setAutoDefault(false);
    connect(SaveListBTN, &QPushButton::clicked, this, [this] { SaveListBTNClick(); });
    CloseBTN = new QPushButton(QStringLiteral("Close"), this);
    CloseBTN->setObjectName(QStringLiteral("CloseBTN"));
    CloseBTN->setDefault(true);
    connect(CloseBTN, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SaveListBTN);
    buttons->addStretch(1);
    buttons->addWidget(CloseBTN);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(TotalsLV);
    layout->addWidget(RemovalsLV);
    auto* listLabel = new QLabel(
        m_preview.spared.empty() ? QStringLiteral("Nodes removed:")
                                 : QStringLiteral("Nodes removed, and those kept by protection:"),
        this);
    layout->addWidget(listLabel);
    layout->addWidget(RemovedLV, 1);
    layout->addLayout(buttons);
    resize(760, 560);
}

void TfrmPreview::buildRemovedList() {
    m_listed = m_preview.removed;
    m_listed.insert(m_listed.end(), m_preview.spared.begin(), m_preview.spared.end());
    m_model = new RemovedNodesModel(m_listed, this);
    m_sorted = new QSortFilterProxyModel(this);
    m_sorted->setSourceModel(m_model);
    m_sorted->setSortRole(Qt::UserRole);
    m_sorted->setSortCaseSensitivity(Qt::CaseInsensitive);
    RemovedLV = new QTreeView(this);
    RemovedLV->setObjectName(QStringLiteral("RemovedLV"));
    RemovedLV->setRootIsDecorated(false);
    RemovedLV->setUniformRowHeights(true);
    RemovedLV->setSelectionBehavior(QAbstractItemView::SelectRows);
    RemovedLV->setSelectionMode(QAbstractItemView::ExtendedSelection);
    RemovedLV->setModel(m_sorted);
    RemovedLV->setSortingEnabled(true);
    RemovedLV->sortByColumn(-1, Qt::AscendingOrder);  // list order until a header is clicked
    const int widths[] = {110, 80, 100, 120, 60, 260};
    for (int column = 0; column < RemovedNodesModel::kColumns; ++column) {
        RemovedLV->header()->resizeSection(column, widths[column]);
    }
}

TfrmPreview::~TfrmPreview() {
    // The view lets go of the rows before the model that shows them goes.
    RemovedLV->setModel(nullptr);
}

void TfrmPreview::SaveListBTNClick() {
    const std::optional<QString> path = m_prompts.chooseSaveFile(
        this, QStringLiteral("Save List"), QStringLiteral("removed-nodes.csv"),
        QStringLiteral("CSV files (*.csv);;All files (*)"));
    if (!path) {
        return;
    }
    const std::string csv = removedNodesCsv(m_preview);
    const std::span<const std::uint8_t> parts[] = {
        {reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size()}};
    try {
        m_fs.writeFile(path->toStdString(), parts, true);
    } catch (const std::exception& e) {
        m_prompts.error(this, QStringLiteral("Error"), QString::fromStdString(e.what()));
    }
}

}  // namespace kavrin
