#pragma once

#include <QStatusBar>
#include <QString>
#include <cstddef>
#include <optional>

class QLabel;
class QProgressBar;

namespace kavrin {

class ElidingLabel;

// The main window's status bar: the connection pictures and text, the progress area (the action
// and its percentage, shown while an operation runs, in place of the connection text) and the
// health text, each under its component name; besides them, the number of marked nodes while a
// database is open. The health text and the marked count always show whole: the connection text
// gives up its width first, shortened with the whole text as its tooltip.
class MainStatusBar : public QStatusBar {
public:
    static constexpr int kHeight = 20;

    explicit MainStatusBar(QWidget* parent);

    void showConnected(const QString& folder);
    void showNotConnected();
    void setActionCaption(const QString& caption);
    void showProgressBar();
    // Kept until the next flushProgress(): repainting the bar for every percent would cost
    // more than the work it shows.
    void setProgressPosition(int percent) { m_progressLatest = percent; }
    void flushProgress();
    void showProgressArea();
    void hideProgressArea();
    void setHealthText(const QString& text);
    void setHealthVisible(bool visible);
    // "Marked : N"; nothing (the panel hidden) while no database is open.
    void showMarkedCount(std::optional<std::size_t> marked);

    // What showing a wait for a share's server changes, to be put back when the wait is over.
    struct State {
        QString caption;
        bool progressHidden;
        bool connectionHidden;
        bool healthHidden;
    };
    State state() const;
    void restore(const State& state);
    // Shows `text` as the action, in the progress area, which shows if it was hidden.
    void showWaitText(const QString& text);

private:
    void buildProgressArea();
    void updateHealthStretch();

    int m_progressLatest = 0;

    QWidget* StatusPanel0 = nullptr;  // the two connection pictures
    QLabel* ConnectedPIC = nullptr;
    QLabel* NotConnectedPIC = nullptr;
    ElidingLabel* StatusPanel1 = nullptr;  // connection text
    QWidget* Panel2 = nullptr;             // status panel 2: the progress area
    QLabel* ActionLAB = nullptr;
    QProgressBar* ProgressPG = nullptr;
    QLabel* MarkedPanel = nullptr;   // marked nodes
    QLabel* StatusPanel3 = nullptr;  // health text
    std::optional<std::size_t> m_marked;
};

}  // namespace kavrin
