#pragma once

#include <QTabWidget>

#include "engine/MainView.h"

namespace kavrin {

class LineListView;

// PageControl: the pages of the main window's line lists, "DB Stats", "Duplicates",
// "Node Stats" and "Log" in the order of Page, each page and list under its component name.
class LinePages : public QTabWidget {
public:
    explicit LinePages(QWidget* parent);

    LineListView* list(LineList which) const;
    // Which list `view` is; DBStats for a view that is none of them.
    LineList which(const LineListView* view) const;
    // The list of the page in front.
    LineListView* currentList() const;

    // A hidden tab's page is never brought to the front.
    void selectPage(Page page);
    // Hiding the tab of the page in front brings "DB Stats" to the front.
    void setDuplicatesTabVisible(bool visible);

private:
    QWidget* DBStatsPage = nullptr;
    QWidget* DuplicatesPAGE = nullptr;
    QWidget* NodeStatsPage = nullptr;
    QWidget* LogPAGE = nullptr;
    LineListView* DBStatsLB = nullptr;
    LineListView* DuplicatesLB = nullptr;
    LineListView* NodeStatsLB = nullptr;
    LineListView* LogLB = nullptr;
};

}  // namespace kavrin
