#pragma once

#include <QDate>
#include <QDialog>
#include <cstddef>
#include <functional>

#include "support/platform/Clock.h"

class QCalendarWidget;
class QLabel;
class QRect;
class QPushButton;

namespace kavrin {

// "Delete older than...": asks for the day before which nodes are marked for deletion. Opens on
// the day one year back on every showing; Cancel is both the default and the Escape button.
// The chosen day is shown as text, with how many days ago it is and the number of nodes OK would
// mark, as it changes. Paging
// the calendar takes the selection along to the same day of the month shown (its last day when
// the month is shorter), so that the day outlined is always the day OK uses.
class TfrmDate : public QDialog {
public:
    // The number of nodes last online before `date` (a DateTimeValue); may throw, and the
    // dialog then shows the error's message in place of the number.
    using NodeCounter = std::function<std::size_t(double date)>;

    explicit TfrmDate(QWidget* parent = nullptr, Clock& clock = systemClock());

    // Counts for every day chosen from now on; without a counter (empty) the day alone is shown.
    void setCounter(NodeCounter counter);

    // The chosen day at 00:00:00, as a DateTimeValue: "older than the day" means last seen
    // before that day began.
    double dateValue() const;
    QDate selectedDate() const;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();
    void buildChosenDay(const QRect& room);
    void followPage(int year, int month);
    void showChosenDay();

    Clock& m_clock;
    QWidget* Shape1;
    QLabel* Label1;
    QCalendarWidget* Calender;
    QLabel* ChosenDayLAB;
    QLabel* DaysAgoLAB;
    QLabel* NodeCountLAB;
    NodeCounter m_counter;
    QPushButton* cxButton2;
    QPushButton* cxButton1;
};

}  // namespace kavrin
