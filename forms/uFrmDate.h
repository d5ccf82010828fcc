#pragma once

#include <QDate>
#include <QDialog>

#include "support/platform/Clock.h"

class QCalendarWidget;
class QLabel;
class QPushButton;

namespace kavrin {

// "Delete older than...": asks for the day before which nodes are marked for deletion. Opens on
// the day one year back on every showing; Cancel is both the default and the Escape button.
class TfrmDate : public QDialog {
public:
    explicit TfrmDate(QWidget* parent = nullptr, Clock& clock = systemClock());

    // The chosen day at 00:00:00, as a DateTimeValue: "older than the day" means last seen
    // before that day began.
    double dateValue() const;
    QDate selectedDate() const;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormShow();

    Clock& m_clock;
    QWidget* Shape1;
    QLabel* Label1;
    QCalendarWidget* Calender;
    QPushButton* cxButton2;
    QPushButton* cxButton1;
};

}  // namespace kavrin
