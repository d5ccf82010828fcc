// The real main window at scale, offscreen: opening a database until the node list is shown,
// sorting the list by each column, scrolling it page by page, typing into the filter over it
// (each key until the window has painted its effect); with a second folder (a copy the
// bench may change), opening and committing that one while the window is asked to repaint every
// few milliseconds, timing the longest wait between two paints. Prints one line of figures for
// bench/run.sh to gather over several runs.
//
//   kavrin_window_bench FOLDER [COPY]

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "forms/KavrinApplication.h"
#include "forms/Prompts.h"
#include "forms/uFrmMain.h"

namespace {

using namespace kavrin;

// No box ever shows: every question is answered Cancel, every error passes unseen.
class NoPrompts final : public Prompts {
public:
    Answer confirm(QWidget*, const QString&, bool) override { return Answer::Cancel; }
    void error(QWidget*, const QString&, const QString&) override {}
    bool credentials(QWidget*, const QString&, const QString&, ShareCredentials&) override {
        return false;
    }
    std::optional<QString> chooseFolder(QWidget*, const QString&) override { return {}; }
    std::optional<QString> chooseSaveFile(QWidget*, const QString&, const QString&,
                                          const QString&) override {
        return {};
    }
};

template <class T>
T* child(QObject* root, const char* name) {
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        std::fprintf(stderr, "the window has no %s\n", name);
        std::exit(1);
    }
    return found;
}

// Lets the window handle whatever is waiting, painting included.
void settle(QWidget& window) {
    QCoreApplication::processEvents();
    window.repaint();
    QCoreApplication::processEvents();
}

double seconds(const QElapsedTimer& clock) {
    return static_cast<double>(clock.nsecsElapsed()) / 1e9;
}

// Seconds from a click on the header of `column` until the window has settled.
double clickHeader(QWidget& window, QHeaderView* header, int column) {
    const QPoint pos(header->sectionViewportPosition(column) + 10, header->height() / 2);
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, pos);
    settle(window);
    return seconds(clock);
}

// The longest time between two paints of a widget while it is watched: how long the window
// would look frozen to a user whose screen asks it to repaint.
class PaintGaps final : public QObject {
public:
    explicit PaintGaps(TMainFRM& widget) : m_widget(widget) {
        m_widget.installEventFilter(this);
        // The repaints a system asks for when windows move over this one, every few milliseconds.
        m_asking.setInterval(5);
        QObject::connect(&m_asking, &QTimer::timeout, &m_widget, [this] { m_widget.update(); });
    }

    void start() {
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_asking.start();
    }
    // The longest gap since start(), the time until now included, in seconds.
    double stop() {
        m_asking.stop();
        note();
        return static_cast<double>(m_longest) / 1e9;
    }
    // The newest line of the log when the longest gap ended: where the window was.
    const std::string& where() const { return m_where; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &m_widget && event->type() == QEvent::Paint && m_clock.isValid()) {
            note();
        }
        return false;
    }

private:
    void note() {
        const qint64 now = m_clock.nsecsElapsed();
        if (now - m_last > m_longest) {
            m_longest = now - m_last;
            const std::size_t lines = m_widget.lineCount(LineList::Log);
            m_where = lines > 0 ? m_widget.lineAt(LineList::Log, lines - 1) : std::string();
        }
        m_last = now;
    }

    TMainFRM& m_widget;
    std::string m_where;
    QTimer m_asking;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER [COPY]\n", argv[0]);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    KavrinApplication app(argc, argv);
    const std::string folder = argv[1];

    NoPrompts prompts;  // the offer to fix duplicates is answered No
    TMainFRM window(prompts);
    window.resize(1000, 700);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        std::fprintf(stderr, "the window did not show\n");
        return 1;
    }
    auto* list = child<QTreeView>(&window, "NodesLV");
    child<QRadioButton>(&window, "DBFileCHECKBOX")->click();
    child<QLineEdit>(&window, "DatabasePathEDT")->setText(QString::fromStdString(folder));
    auto* connect = child<QPushButton>(&window, "ConnectBTN");

    // The first open of the process, as a user's first "Open DB", then the same again over the
    // open database.
    double opens[2];
    for (double& open : opens) {
        QElapsedTimer clock;
        clock.start();
        connect->click();
        settle(window);
        open = seconds(clock);
        if (!window.engine().context().IsOpen) {
            std::fprintf(stderr, "the window could not open %s\n", folder.c_str());
            return 1;
        }
    }
    const int rows = list->model()->rowCount();

    // Each column clicked twice (descending, then ascending), as a user would.
    QHeaderView* header = list->header();
    std::vector<double> sorts;
    for (int column = 0; column < 4; ++column) {
        for (int click = 0; click < 2; ++click) {
            sorts.push_back(clickHeader(window, header, column));
        }
    }

    // One page down at a time over the whole list, each step painted.
    QScrollBar* bar = list->verticalScrollBar();
    std::vector<double> steps{0.0};
    bar->setValue(0);
    settle(window);
    while (bar->value() < bar->maximum()) {
        QElapsedTimer clock;
        clock.start();
        bar->setValue(bar->value() + bar->pageStep());
        list->viewport()->repaint();
        steps.push_back(seconds(clock));
    }

    // Typing a name's part, then a pattern, into the filter, then taking them back: each key
    // timed until the window has painted the rows it leaves.
    auto* filter = child<QLineEdit>(&window, "NodeFilterEDT");
    filter->setFocus();
    std::vector<double> keys;
    auto timed = [&](const auto& press) {
        QElapsedTimer clock;
        clock.start();
        press();
        settle(window);
        keys.push_back(seconds(clock));
    };
    for (const QString& typed : {QStringLiteral("lt-1"), QStringLiteral("s*9?")}) {
        for (const QChar c : typed) {
            timed([&] { QTest::keyClicks(filter, QString(c)); });
        }
        for (qsizetype i = 0; i < typed.size(); ++i) {
            timed([&] { QTest::keyClick(filter, Qt::Key_Backspace); });
        }
    }
    const int keysTimed = static_cast<int>(keys.size());
    // The same with every row selected: the selection is carried over each filter.
    list->selectAll();
    std::vector<double> selectedKeys;
    for (const QString& typed : {QStringLiteral("pc-"), QString()}) {
        QElapsedTimer clock;
        clock.start();
        if (typed.isEmpty()) {
            QTest::keyClick(filter, Qt::Key_Escape);
        } else {
            QTest::keyClicks(filter, typed);
        }
        settle(window);
        selectedKeys.push_back(seconds(clock));
    }
    std::fprintf(stderr, "filter over every row selected: \"pc-\" %.4f s, Escape %.4f s\n",
                 selectedKeys[0], selectedKeys[1]);

    // The window's own columns shown and sorted by, each clicked twice, one row selected.
    list->setCurrentIndex(list->model()->index(0, 0));
    child<QAction>(&window, "LastOnlineColumnMEN")->trigger();
    child<QAction>(&window, "UserColumnMEN")->trigger();
    settle(window);
    for (const int column : {4, 5}) {
        for (int click = 0; click < 2; ++click) {
            std::fprintf(stderr, "own column %d sorted in %.4f s\n", column,
                         clickHeader(window, header, column));
        }
    }

    // The copy opened and committed (the commit opens it again), the window asked to repaint
    // all along.
    double openGap = 0;
    double commitGap = 0;
    if (argc == 3) {
        PaintGaps gaps(window);
        child<QLineEdit>(&window, "DatabasePathEDT")->setText(QString::fromLocal8Bit(argv[2]));
        gaps.start();
        connect->click();
        openGap = gaps.stop();
        std::fprintf(stderr, "longest wait while opening: %.3f s, after \"%s\"\n", openGap,
                     gaps.where().c_str());
        gaps.start();
        child<QAction>(&window, "CommitMEN")->trigger();
        commitGap = gaps.stop();
        std::fprintf(stderr, "longest wait while committing: %.3f s, after \"%s\"\n", commitGap,
                     gaps.where().c_str());
        if (!window.engine().context().IsOpen) {
            std::fprintf(stderr, "the window could not commit %s\n", argv[2]);
            return 1;
        }
    }

    std::sort(sorts.begin(), sorts.end());
    std::sort(steps.begin(), steps.end());
    std::sort(keys.begin(), keys.end());
    std::fprintf(stderr, "filter: %d keys, median %.4f s, worst %.4f s\n", keysTimed,
                 keys[keys.size() / 2], keys.back());
    // rows, first open, reopen, sort median and worst, scroll step median and worst, longest
    // wait between paints during the open and the commit of the copy, filter key median and
    // worst (seconds)
    std::printf("%d %.4f %.4f %.4f %.4f %.5f %.5f %.4f %.4f %.4f %.4f\n", rows, opens[0], opens[1],
                sorts[sorts.size() / 2], sorts.back(), steps[steps.size() / 2], steps.back(),
                openGap, commitGap, keys[keys.size() / 2], keys.back());
    return 0;
}
