#include "forms/LinePages.h"

#include <QVBoxLayout>

#include "forms/Fonts.h"
#include "forms/LineListView.h"

namespace kavrin {

namespace {
constexpr LineList kLists[] = {LineList::DBStats, LineList::Duplicates, LineList::NodeStats,
                               LineList::Log};
}  // namespace

LinePages::LinePages(QWidget* parent) : QTabWidget(parent) {
    setObjectName(QStringLiteral("PageControl"));
    struct PageSpec {
        QWidget** page;
        const char* pageName;
        const char* caption;
        LineListView** list;
        const char* listName;
        int lineHeight;
    };
    const PageSpec pages[] = {
        {&DBStatsPage, "DBStatsPage", "DB Stats", &DBStatsLB, "DBStatsLB", 16},
        {&DuplicatesPAGE, "DuplicatesPAGE", "Duplicates", &DuplicatesLB, "DuplicatesLB", 13},
        {&NodeStatsPage, "NodeStatsPage", "Node Stats", &NodeStatsLB, "NodeStatsLB", 13},
        {&LogPAGE, "LogPAGE", "Log", &LogLB, "LogLB", 13},
    };
    for (const PageSpec& design : pages) {
        auto* page = new QWidget(this);
        page->setObjectName(QString::fromLatin1(design.pageName));
        auto* list =
            new LineListView(QString::fromLatin1(design.listName), design.lineHeight, page);
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(4, 4, 1, 2);
        layout->addWidget(list);
        addTab(page, QString::fromLatin1(design.caption));
        *design.page = page;
        *design.list = list;
    }
    DuplicatesLB->setFont(tahomaFont(11));
    QPalette red = DuplicatesLB->palette();
    red.setColor(QPalette::Text, Qt::red);
    DuplicatesLB->setPalette(red);
}

LineListView* LinePages::list(LineList which) const {
    switch (which) {
        case LineList::DBStats:
            return DBStatsLB;
        case LineList::Duplicates:
            return DuplicatesLB;
        case LineList::NodeStats:
            return NodeStatsLB;
        case LineList::Log:
            return LogLB;
    }
    return DBStatsLB;
}

LineList LinePages::which(const LineListView* view) const {
    for (LineList candidate : kLists) {
        if (list(candidate) == view) {
            return candidate;
        }
    }
    return LineList::DBStats;
}

LineListView* LinePages::currentList() const {
    return list(static_cast<LineList>(currentIndex()));
}

void LinePages::selectPage(Page page) {
    const int index = static_cast<int>(page);
    if (!isTabVisible(index)) {
        return;
    }
    setCurrentIndex(index);
}

void LinePages::setDuplicatesTabVisible(bool visible) {
    const int index = static_cast<int>(Page::Duplicates);
    if (!visible && currentIndex() == index) {
        setCurrentIndex(static_cast<int>(Page::DBStats));
    }
    setTabVisible(index, visible);
}

}  // namespace kavrin
