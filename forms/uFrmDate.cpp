#include "forms/uFrmDate.h"

#include <QAbstractItemView>
#include <QCalendarWidget>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <algorithm>
#include <exception>
#include <utility>

#include "engine/marking/Marking.h"
#include "forms/Fonts.h"
#include "support/text/DateTimeText.h"

namespace kavrin {

TfrmDate::TfrmDate(QWidget* parent, Clock& clock)
    : QDialog(parent,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_clock(clock) {
    setObjectName(QStringLiteral("frmDate"));
    setWindowTitle(QStringLiteral("Delete older than..."));
    setFont(tahomaFont(11));
    setModal(true);
    move(564, 195);

    Shape1 = new QWidget(this);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setAutoFillBackground(true);
    QPalette white = Shape1->palette();
    white.setColor(QPalette::Window, Qt::white);
    Shape1->setPalette(white);

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setText(
        QStringLiteral("All nodes that have not been contacted after the specified date will be "
                       "marked deleted and will be permanently removed from the database when "
                       "commited."));
    Label1->setFont(tahomaFont(11, true));
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette blue = Label1->palette();
    blue.setColor(QPalette::WindowText, QColor(0, 65, 215));
    Label1->setPalette(blue);
    Label1->setGeometry(8, 8, 129, 137);

    Calender = new QCalendarWidget(this);
    Calender->setObjectName(QStringLiteral("Calender"));
    Calender->setSelectionMode(QCalendarWidget::SingleSelection);
    Calender->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    Calender->setHorizontalHeaderFormat(QCalendarWidget::SingleLetterDayNames);
    Calender->setGridVisible(false);
    // The calendar was sized for Tahoma; a wider substitute font needs more room, and the
    // dialog grows with it rather than cutting off the last column.
    const QSize hint = Calender->sizeHint();
    const int growRight = std::max(0, hint.width() - 169);
    const int growDown = std::max(0, hint.height() - 153);
    Calender->setGeometry(144, 8, 169 + growRight, 153 + growDown);
    setFixedSize(323 + growRight, 220 + growDown);
    Shape1->setGeometry(rect());

    cxButton2 = new QPushButton(QStringLiteral("OK"), this);
    cxButton2->setObjectName(QStringLiteral("cxButton2"));
    cxButton2->setAutoDefault(false);
    cxButton2->setGeometry(148 + growRight, 184 + growDown, 75, 25);
    connect(cxButton2, &QPushButton::clicked, this, &QDialog::accept);

    cxButton1 = new QPushButton(QStringLiteral("Cancel"), this);
    cxButton1->setObjectName(QStringLiteral("cxButton1"));
    cxButton1->setDefault(true);
    cxButton1->setGeometry(232 + growRight, 184 + growDown, 75, 25);
    connect(cxButton1, &QPushButton::clicked, this, &QDialog::reject);

    buildChosenDay(QRect(8, 150 + growDown, 136 + growRight, 62));

    setTabOrder(Calender, cxButton1);
    setTabOrder(cxButton1, cxButton2);

    // The calendar takes Enter for itself; here Enter belongs to the default button, Cancel.
    Calender->installEventFilter(this);
    for (QWidget* child : Calender->findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}

void TfrmDate::buildChosenDay(const QRect& room) {
    // Under the text, in the column it leaves free beside the buttons: the day, how long ago it
    // is, then the count (or why there is none, which may take more than a line).
    ChosenDayLAB = new QLabel(this);
    ChosenDayLAB->setObjectName(QStringLiteral("ChosenDayLAB"));
    ChosenDayLAB->setTextFormat(Qt::PlainText);
    ChosenDayLAB->setGeometry(room.x(), room.y(), room.width(), 17);
    DaysAgoLAB = new QLabel(this);
    DaysAgoLAB->setObjectName(QStringLiteral("DaysAgoLAB"));
    DaysAgoLAB->setTextFormat(Qt::PlainText);
    DaysAgoLAB->setGeometry(room.x(), room.y() + 17, room.width(), 17);
    NodeCountLAB = new QLabel(this);
    NodeCountLAB->setObjectName(QStringLiteral("NodeCountLAB"));
    NodeCountLAB->setTextFormat(Qt::PlainText);
    NodeCountLAB->setWordWrap(true);
    NodeCountLAB->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    NodeCountLAB->setGeometry(room.x(), room.y() + 34, room.width(), room.height() - 34);
    connect(Calender, &QCalendarWidget::selectionChanged, this, &TfrmDate::showChosenDay);
    connect(Calender, &QCalendarWidget::currentPageChanged, this, &TfrmDate::followPage);
}

void TfrmDate::setCounter(NodeCounter counter) {
    m_counter = std::move(counter);
    if (isVisible()) {
        showChosenDay();
    }
}

void TfrmDate::followPage(int year, int month) {
    // Left alone, the calendar keeps its selection on the month paged away from while the new
    // page outlines the same day number: the day seen would not be the day OK uses.
    const QDate selected = Calender->selectedDate();
    if (selected.year() == year && selected.month() == month) {
        return;
    }
    const QDate first(year, month, 1);
    Calender->setSelectedDate(QDate(year, month, std::min(selected.day(), first.daysInMonth())));
}

void TfrmDate::showChosenDay() {
    const QDate day = Calender->selectedDate();
    // ISO order and the weekday: no reading of 03/04 as either day or month.
    ChosenDayLAB->setText(day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(", ") +
                          QLocale::c().dayName(day.dayOfWeek()));
    // What --not-online-for would be given for the same marks.
    const int ago = daysBefore(m_clock.now(), dateValue());
    DaysAgoLAB->setText(ago == 1    ? QStringLiteral("1 day ago")
                        : ago == 0  ? QStringLiteral("today")
                        : ago == -1 ? QStringLiteral("1 day ahead")
                        : ago < 0   ? QString::number(-ago) + QStringLiteral(" days ahead")
                                    : QString::number(ago) + QStringLiteral(" days ago"));
    if (!m_counter) {
        NodeCountLAB->clear();
        return;
    }
    try {
        const std::size_t count = m_counter(dateValue());
        const QString number = QLocale().toString(static_cast<qulonglong>(count));
        NodeCountLAB->setText(count == 1 ? QStringLiteral("1 node to mark")
                                         : number + QStringLiteral(" nodes to mark"));
    } catch (const std::exception& e) {
        NodeCountLAB->setText(QString::fromUtf8(e.what()));
    }
}

double TfrmDate::dateValue() const {
    const QDate day = Calender->selectedDate();
    return encodeDateTime(day.year(), day.month(), day.day());
}

QDate TfrmDate::selectedDate() const {
    return Calender->selectedDate();
}

void TfrmDate::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TfrmDate::FormShow() {
    DateTimeParts parts;
    if (decodeDateTime(toDateTimeValue(m_clock.now()) - 365.0, parts)) {
        const QDate yearBack(parts.year, parts.month, parts.day);
        Calender->setSelectedDate(yearBack);
        Calender->setCurrentPage(yearBack.year(), yearBack.month());
    }
    // Also when the day is the one shown last time: the database may have changed since.
    showChosenDay();
    Calender->setFocus();
}

bool TfrmDate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            reject();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace kavrin
