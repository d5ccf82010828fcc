#include <QCalendarWidget>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>
#include <stdexcept>

#include <algorithm>
#include <functional>
#include <vector>

#include "FormsTestSupport.h"
#include "common/FixedClock.h"
#include "forms/uFrmDate.h"
#include "forms/uFrmWarningInfo.h"
#include "support/text/DateTimeText.h"

using namespace kavrin;
using namespace kavrin::test;

namespace {

// Counts nodes last online at midnight of a few days, as the window's counter would.
std::size_t nodesSeenBefore(double date) {
    const QDate seen[] = {{2021, 1, 1},  {2023, 6, 1},   {2024, 1, 31}, {2024, 2, 10},
                          {2024, 12, 9}, {2024, 12, 10}, {2025, 1, 1}};
    return static_cast<std::size_t>(std::count_if(std::begin(seen), std::end(seen), [&](QDate d) {
        return encodeDateTime(d.year(), d.month(), d.day()) < date;
    }));
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    // The first activation shows the information dialog once; "Info" shows it at any time.
    void informationDialogAtFirstActivationOnly() {
        ScriptedPrompts prompts;
        TMainFRM window(prompts);
        auto* info = new TfrmWarningInfo(&window);
        window.setDialogs(nullptr, info);
        int showings = 0;
        QString caption;
        auto answer = [&](QWidget* modal) {
            ++showings;
            caption = child<QLabel>(modal, "CaptionLAB")->text();
            QVERIFY(window.frameGeometry().contains(modal->frameGeometry()));  // nothing hidden
            child<QPushButton>(modal, "cxButton1")->click();
        };
        onNextModal(answer);
        window.show();
        QTRY_COMPARE(showings, 1);
        QCOMPARE(caption, window.windowTitle());

        QApplication::setActiveWindow(nullptr);
        QApplication::setActiveWindow(&window);
        QTest::qWait(50);
        QCOMPARE(showings, 1);

        onNextModal(answer);
        QVERIFY(triggerAction(&window, "Info1"));
        QCOMPARE(showings, 2);
        onNextModal(answer);
        QApplication::setActiveWindow(&window);
        QTest::keyClick(&window, Qt::Key_F1);
        QCOMPARE(showings, 3);
    }

    void informationDialogContent() {
        QWidget main;
        TfrmWarningInfo info(&main);
        QCOMPARE(info.windowTitle(), QString("Important Information"));
        auto* memo = child<QPlainTextEdit>(&info, "cxMemo1");
        QVERIFY(memo->isReadOnly());
        QCOMPARE(memo->document()->blockCount(), 16);
        QStringList memoLines;
        for (QTextBlock block = memo->document()->begin(); block.isValid(); block = block.next()) {
            memoLines << block.text();
        }
        QCOMPARE(memoLines[0], QString("If you are connecting to a KavrinServer, you must stop "
                                       "the KavrinServer Service before you "));
        QCOMPARE(memoLines[4], QString("You must have write permissions to the Kavrin$ share and "
                                       "folder on the KavrinServer to commit "));
        QCOMPARE(memoLines[9], QString("manually copying the files in the backup directory over "
                                       "the files in the folder above the backup "));
        QCOMPARE(memoLines[14], QString("efficiency of the database."));
        for (int i : {3, 6, 11, 15}) {
            QCOMPARE(memoLines[i], QString());
        }
        // Lines 1, 2, 5, 8, 9, 10, 13 and 14 end in a blank, the others do not.
        for (int i = 0; i < 16; ++i) {
            const bool blank = QList<int>({0, 1, 4, 7, 8, 9, 12, 13}).contains(i);
            QCOMPARE(memoLines[i].endsWith(' '), blank);
        }
        QCOMPARE(child<QLabel>(&info, "Label1")->text(), QString("Important Information"));
    }

    // Centred over the main window's outer frame; half of a negative difference drops its
    // fraction toward zero (-3 gives -1, not -2).
    void informationDialogCentresOverTheMainWindow() {
        QWidget main;
        main.setGeometry(200, 150, 700, 500);
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        TfrmWarningInfo info(&main);
        QSize dialogFrame;
        onNextModal([&](QWidget* modal) {
            dialogFrame = modal->frameGeometry().size();
            modal->close();
        });
        info.exec();

        const QSize frameExtra = main.frameGeometry().size() - main.size();
        main.resize(dialogFrame - frameExtra + QSize(7, -3));
        QTRY_COMPARE(main.frameGeometry().size(), dialogFrame + QSize(7, -3));
        QPoint placed;
        onNextModal([&](QWidget* modal) {
            placed = modal->frameGeometry().topLeft();
            modal->close();
        });
        info.exec();
        const QRect mainFrame = main.frameGeometry();
        QCOMPARE(placed, QPoint(mainFrame.left() + 3, mainFrame.top() - 1));
    }

    void dateDialogOpensAYearBackWithCancelAsDefault() {
        FixedClock clock({2024, 3, 1, 23, 59, 59, 0});
        TfrmDate dialog(nullptr, clock);
        QCOMPARE(dialog.windowTitle(), QString("Delete older than..."));
        auto* calendar = child<QCalendarWidget>(&dialog, "Calender");
        auto* ok = child<QPushButton>(&dialog, "cxButton2");
        auto* cancel = child<QPushButton>(&dialog, "cxButton1");
        QVERIFY(cancel->isDefault());
        QVERIFY(!ok->isDefault());
        QCOMPARE(child<QLabel>(&dialog, "Label1")->text(),
                 QString("All nodes that have not been contacted after the specified date will "
                         "be marked deleted and will be permanently removed from the database "
                         "when commited."));

        // 2024-03-01 less 365 days (a leap year between) is 2023-03-02.
        onNextModal([&](QWidget* modal) {
            QCOMPARE(calendar->selectedDate(), QDate(2023, 3, 2));
            // Focus arrives with the dialog's activation, which may come a moment after it shows.
            QTRY_VERIFY(QApplication::focusWidget() == calendar ||
                        calendar->isAncestorOf(QApplication::focusWidget()));
            calendar->setSelectedDate(QDate(2020, 2, 29));
            ok->click();
            (void)modal;
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(dialog.dateValue(), encodeDateTime(2020, 2, 29));  // midnight of the day

        onNextModal([&](QWidget* modal) {
            QCOMPARE(calendar->selectedDate(), QDate(2023, 3, 2));
            modal->close();  // the close box answers Cancel
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }

    // The main window and every dialog it opens lie whole on the screen's free area, whatever
    // the screen and the scale (CTest runs this once more at twice the scale on 1280x900).
    void everyWindowFitsTheScreen() {
        WindowFixture f;
        f.window().setDialogs(new TfrmDate(&f.window()), nullptr);
        f.openSample(Answer::Yes);
        QVERIFY(triggerAction(&f.window(), "BackupMEN"));
        const QRect area = f.window().screen()->availableGeometry();
        QVERIFY2(area.contains(f.window().frameGeometry()), "TMainFRM");
        TfrmWarningInfo info(&f.window());
        const std::function<void()> show[] = {
            [&] { info.exec(); },
            [&] { QVERIFY(triggerAction(&f.window(), "DeleteOlderThanMEN")); },
            [&] { QVERIFY(triggerAction(&f.window(), "PreviewCommitMEN")); },
            [&] { QVERIFY(triggerAction(&f.window(), "RestoreBackupMEN")); }};
        for (const auto& dialog : show) {
            QString name;
            QRect shown;
            onNextModal([&](QWidget* modal) {
                name = modal->objectName();
                shown = modal->frameGeometry();
                modal->close();
            });
            dialog();
            QVERIFY2(area.contains(shown), qPrintable(name));
        }
    }

    // The chosen day shows as text with the number of nodes OK would mark, as it changes;
    // paging months takes the selection along (to the month's end when it is shorter), so that
    // the day outlined is the day OK uses.
    void dateDialogShowsTheDayItMarksBy() {
        FixedClock clock({2025, 12, 10, 9, 0, 0, 0});  // opens on 2024-12-10
        TfrmDate dialog(nullptr, clock);
        dialog.setCounter(nodesSeenBefore);
        auto* calendar = child<QCalendarWidget>(&dialog, "Calender");
        auto* grid = calendar->findChild<QTableView*>("qt_calendar_calendarview");
        auto* previous = calendar->findChild<QToolButton*>("qt_calendar_prevmonth");
        auto* next = calendar->findChild<QToolButton*>("qt_calendar_nextmonth");
        QVERIFY(grid && previous && next);
        const struct {
            const char* what;
            std::function<void()> act;
            QDate day;
            const char* dayText;
            const char* agoText;  // what --not-online-for would be given for the same marks
            const char* countText;
        } steps[] = {
            {"opened",
             [] {},
             {2024, 12, 10},
             "2024-12-10, Tuesday",
             "365 days ago",
             "5 nodes to mark"},
            {"twelve months back",
             [&] {
                 for (int i = 0; i < 12; ++i) {
                     previous->click();
                 }
             },
             {2023, 12, 10},
             "2023-12-10, Sunday",
             "731 days ago",
             "2 nodes to mark"},
            {"a day chosen",
             [&] {
                 calendar->setSelectedDate({2024, 1, 31});
             },
             {2024, 1, 31},
             "2024-01-31, Wednesday",
             "679 days ago",
             "2 nodes to mark"},
            {"into a shorter month",
             [&] { next->click(); },
             {2024, 2, 29},
             "2024-02-29, Thursday",
             "650 days ago",
             "4 nodes to mark"},
            {"and on",
             [&] { next->click(); },
             {2024, 3, 29},
             "2024-03-29, Friday",
             "621 days ago",
             "4 nodes to mark"},
            {"month and year picked",
             [&] { calendar->setCurrentPage(2021, 2); },
             {2021, 2, 28},
             "2021-02-28, Sunday",
             "1746 days ago",
             "1 node to mark"},
            {"before every node",
             [&] {
                 calendar->setSelectedDate({2020, 5, 5});
             },
             {2020, 5, 5},
             "2020-05-05, Tuesday",
             "2045 days ago",
             "0 nodes to mark"},
        };
        // Checked inside the dialog's loop; a failed check leaves the check, not the loop.
        auto walk = [&] {
            for (const auto& step : steps) {
                step.act();
                QCOMPARE(calendar->selectedDate(), step.day);
                const QModelIndex outlined = grid->currentIndex();
                QCOMPARE(outlined.data().toInt(), step.day.day());
                QVERIFY(grid->selectionModel()->isSelected(outlined));
                QCOMPARE(child<QLabel>(&dialog, "ChosenDayLAB")->text(), QString(step.dayText));
                QCOMPARE(child<QLabel>(&dialog, "DaysAgoLAB")->text(), QString(step.agoText));
                QCOMPARE(child<QLabel>(&dialog, "NodeCountLAB")->text(), QString(step.countText));
            }
            // A count that fails says why instead of a number.
            dialog.setCounter(
                [](double) -> std::size_t { throw std::runtime_error("Cannot read record."); });
            QCOMPARE(child<QLabel>(&dialog, "NodeCountLAB")->text(),
                     QString("Cannot read record."));
        };
        onNextModal([&](QWidget*) {
            walk();
            child<QPushButton>(&dialog, "cxButton2")->click();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Accepted));
        QCOMPARE(dialog.dateValue(), encodeDateTime(2020, 5, 5));
    }
};

KAVRIN_FORMS_TEST_MAIN(DialogsTest)
#include "DialogsTest.moc"
