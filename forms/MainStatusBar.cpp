#include "forms/MainStatusBar.h"

#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <algorithm>

#include "forms/Anchors.h"
#include "forms/Artwork.h"
#include "forms/ElidingLabel.h"

namespace kavrin {

namespace {

constexpr int kConnectionPanelWidth = 400;
// What the connection text is squeezed to, at most, so that the health text shows whole.
constexpr int kConnectionPanelMinWidth = 120;
constexpr int kProgressPanelMinWidth = 200;
constexpr int kHealthPanelWidth = 200;
constexpr int kProgressBarWidth = 59;

const char* const kProgressStyle =
    "QProgressBar#ProgressPG { border: 1px solid #808080; background: #ffffff; color: #000000;"
    " text-align: center; }"
    "QProgressBar#ProgressPG::chunk { background: qlineargradient(x1:0, y1:0, x2:1, y2:0,"
    " stop:0 rgb(166, 202, 240), stop:1 rgb(192, 220, 192)); }";

}  // namespace

MainStatusBar::MainStatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName(QStringLiteral("StatusBar"));

    StatusPanel0 = new QWidget(this);
    StatusPanel0->setObjectName(QStringLiteral("StatusPanel0"));
    StatusPanel0->setFixedSize(16, 16);
    ConnectedPIC = new QLabel(StatusPanel0);
    ConnectedPIC->setObjectName(QStringLiteral("ConnectedPIC"));
    ConnectedPIC->setPixmap(artworkPixmap(QStringLiteral("connected"), QSize(16, 16)));
    ConnectedPIC->setGeometry(0, 0, 16, 16);
    NotConnectedPIC = new QLabel(StatusPanel0);
    NotConnectedPIC->setObjectName(QStringLiteral("NotConnectedPIC"));
    NotConnectedPIC->setPixmap(artworkPixmap(QStringLiteral("notconnected"), QSize(16, 16)));
    NotConnectedPIC->setGeometry(0, 0, 16, 16);

    StatusPanel1 = new ElidingLabel(kConnectionPanelWidth, kConnectionPanelMinWidth, this);
    StatusPanel1->setObjectName(QStringLiteral("StatusPanel1"));

    buildProgressArea();

    MarkedPanel = new QLabel(this);
    MarkedPanel->setObjectName(QStringLiteral("MarkedPanel"));
    MarkedPanel->setTextFormat(Qt::PlainText);
    MarkedPanel->setContentsMargins(6, 0, 12, 0);  // apart from the texts beside it
    MarkedPanel->hide();

    StatusPanel3 = new QLabel(this);
    StatusPanel3->setObjectName(QStringLiteral("StatusPanel3"));
    StatusPanel3->setTextFormat(Qt::PlainText);
    StatusPanel3->setMinimumWidth(kHealthPanelWidth);

    // Permanent widgets: a status message never hides them.
    addPermanentWidget(StatusPanel0, 0);
    addPermanentWidget(StatusPanel1, 0);
    addPermanentWidget(Panel2, 1);
    addPermanentWidget(MarkedPanel, 0);
    addPermanentWidget(StatusPanel3, 1);
    Panel2->hide();
    updateHealthStretch();
}

void MainStatusBar::buildProgressArea() {
    Panel2 = new QWidget(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setMinimumWidth(kProgressPanelMinWidth);
    const QSize designedPanel2(kProgressPanelMinWidth, kHeight - 2);
    auto* progress = new Anchors(Panel2, designedPanel2);
    Panel2->resize(designedPanel2);
    ActionLAB = new QLabel(Panel2);
    ActionLAB->setObjectName(QStringLiteral("ActionLAB"));
    ActionLAB->setTextFormat(Qt::PlainText);
    ActionLAB->setAttribute(Qt::WA_TranslucentBackground);
    progress->place(
        ActionLAB,
        QRect(5, 1, designedPanel2.width() - kProgressBarWidth - 5, designedPanel2.height() - 1),
        kAnchorLeft | kAnchorTop | kAnchorRight | kAnchorBottom);
    ProgressPG = new QProgressBar(Panel2);
    ProgressPG->setObjectName(QStringLiteral("ProgressPG"));
    ProgressPG->setRange(0, 100);
    ProgressPG->setValue(0);
    ProgressPG->setTextVisible(true);
    ProgressPG->setFormat(QStringLiteral("%p%"));
    ProgressPG->setStyleSheet(QString::fromLatin1(kProgressStyle));
    progress->place(ProgressPG,
                    QRect(designedPanel2.width() - kProgressBarWidth, 0, kProgressBarWidth,
                          designedPanel2.height()),
                    kAnchorTop | kAnchorRight | kAnchorBottom);
    ProgressPG->hide();
}

void MainStatusBar::showConnected(const QString& folder) {
    ConnectedPIC->show();
    NotConnectedPIC->hide();
    StatusPanel1->showText(QStringLiteral("Connected : ") + folder);
}

void MainStatusBar::showNotConnected() {
    ConnectedPIC->hide();
    NotConnectedPIC->show();
    StatusPanel1->showText(QStringLiteral("Not Connected"));
}

void MainStatusBar::setActionCaption(const QString& caption) {
    ActionLAB->setText(caption);
}

void MainStatusBar::showProgressBar() {
    ProgressPG->show();
    ProgressPG->raise();
}

void MainStatusBar::flushProgress() {
    if (ProgressPG->value() != m_progressLatest) {
        ProgressPG->setValue(m_progressLatest);
    }
}

void MainStatusBar::showProgressArea() {
    StatusPanel3->hide();
    Panel2->show();
    StatusPanel1->hide();
    updateHealthStretch();
    flushProgress();
}

void MainStatusBar::hideProgressArea() {
    flushProgress();
    Panel2->hide();
    StatusPanel1->show();
    StatusPanel3->show();
    updateHealthStretch();
}

void MainStatusBar::updateHealthStretch() {
    // The progress area takes the width the other parts leave; without it the health text does.
    StatusPanel3->setMaximumWidth(Panel2->isHidden()
                                      ? QWIDGETSIZE_MAX
                                      : std::max(kHealthPanelWidth, StatusPanel3->minimumWidth()));
}

void MainStatusBar::setHealthText(const QString& text) {
    StatusPanel3->setText(text);
    // Never narrower than its text: "Inactive(18" must not lose its end to the window's edge.
    StatusPanel3->setMinimumWidth(std::max(kHealthPanelWidth, StatusPanel3->sizeHint().width()));
    updateHealthStretch();
}

void MainStatusBar::showMarkedCount(std::optional<std::size_t> marked) {
    if (marked == m_marked) {
        return;
    }
    m_marked = marked;
    if (marked) {
        MarkedPanel->setText(QStringLiteral("Marked : ") +
                             QLocale().toString(static_cast<qulonglong>(*marked)));
    }
    MarkedPanel->setVisible(marked.has_value());
}

void MainStatusBar::setHealthVisible(bool visible) {
    StatusPanel3->setVisible(visible);
}

MainStatusBar::State MainStatusBar::state() const {
    return {ActionLAB->text(), Panel2->isHidden(), StatusPanel1->isHidden(),
            StatusPanel3->isHidden()};
}

void MainStatusBar::restore(const State& state) {
    ActionLAB->setText(state.caption);
    Panel2->setHidden(state.progressHidden);
    StatusPanel1->setHidden(state.connectionHidden);
    StatusPanel3->setHidden(state.healthHidden);
    updateHealthStretch();
}

void MainStatusBar::showWaitText(const QString& text) {
    if (ActionLAB->text() == text) {
        return;
    }
    ActionLAB->setText(text);
    if (Panel2->isHidden()) {
        showProgressArea();
    }
}

}  // namespace kavrin
