#include "forms/uFrmWarningInfo.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <algorithm>

#include "forms/Anchors.h"
#include "forms/Artwork.h"
#include "forms/Fonts.h"

namespace kavrin {

namespace {

const char* const kMemoLines[] = {
    "If you are connecting to a KavrinServer, you must stop the KavrinServer Service before you ",
    "commit any changes to the database. You do not need to stop the KavrinServer Service if you ",
    "do not plan to commit changes.",
    "",
    "You must have write permissions to the Kavrin$ share and folder on the KavrinServer to "
    "commit ",
    "changes and make backups.",
    "",
    "A backup of the database is made automatically before changes are committed. Backups are ",
    "made to a new sub folder named after the date and time. Backups are easily restored by ",
    "manually copying the files in the backup directory over the files in the folder above the "
    "backup ",
    "folder.",
    "",
    "Changes become permanent when committed. Deletions permanently remove data from the ",
    "database unlike KavrinServer, which just marks the data as inactive. This improves the ",
    "efficiency of the database.",
    "",
};

QWidget* filledShape(QWidget* parent, const char* name, const QColor& colour) {
    auto* shape = new QWidget(parent);
    shape->setObjectName(QString::fromLatin1(name));
    shape->setAutoFillBackground(true);
    QPalette palette = shape->palette();
    palette.setColor(QPalette::Window, colour);
    shape->setPalette(palette);
    return shape;
}

QLabel* colouredLabel(QWidget* parent, const char* name, const QFont& font, const QColor& colour) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(font);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

// The memo's lines were broken for Tahoma; a wider substitute breaks each of them again
// mid-sentence. Its font shrinks (not below 9 pixels) until the longest line fits.
void fitMemoFont(QPlainTextEdit* memo, const QStringList& lines) {
    const int available = memo->contentsRect().width() -
                          2 * static_cast<int>(memo->document()->documentMargin()) -
                          memo->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    for (int pixels = 11; pixels >= 9; --pixels) {
        const QFont font = tahomaFont(pixels);
        const QFontMetrics metrics(font);
        int widest = 0;
        for (const QString& line : lines) {
            widest = std::max(widest, metrics.horizontalAdvance(line));
        }
        memo->setFont(font);
        if (widest <= available) {
            return;
        }
    }
}

}  // namespace

TfrmWarningInfo::TfrmWarningInfo(QWidget* mainWindow)
    : QDialog(mainWindow,
              Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_mainWindow(mainWindow) {
    setObjectName(QStringLiteral("frmWarningInfo"));
    setWindowTitle(QStringLiteral("Important Information"));
    setFont(tahomaFont(11));
    setFixedSize(479, 350);
    setModal(true);

    auto* anchors = new Anchors(this, QSize(479, 350));
    Shape1 = filledShape(this, "Shape1", QColor(92, 92, 92));
    anchors->place(Shape1, QRect(0, 0, 479, 85), kAnchorLeft | kAnchorTop | kAnchorRight);
    Shape2 = filledShape(this, "Shape2", Qt::white);
    anchors->place(Shape2, QRect(0, 85, 479, 265), kAnchorAll);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(artworkPixmap(QStringLiteral("info"), QSize(64, 64)));
    anchors->place(Image1, QRect(4, 8, 65, 65), kAnchorLeft | kAnchorTop);

    CaptionLAB = colouredLabel(this, "CaptionLAB", verdanaFont(15), QColor(255, 225, 15));
    anchors->place(CaptionLAB, QRect(84, 12, 385, 16), kAnchorLeft | kAnchorTop | kAnchorRight);
    Label1 = colouredLabel(this, "Label1", tahomaFont(27), QColor(205, 205, 205));
    Label1->setText(QStringLiteral("Important Information"));
    anchors->place(Label1, QRect(84, 36, 385, 33), kAnchorLeft | kAnchorTop | kAnchorRight);

    cxMemo1 = new QPlainTextEdit(this);
    cxMemo1->setObjectName(QStringLiteral("cxMemo1"));
    cxMemo1->setReadOnly(true);
    QStringList lines;
    for (const char* line : kMemoLines) {
        lines.append(QString::fromLatin1(line));
    }
    cxMemo1->setPlainText(lines.join(QLatin1Char('\n')));
    anchors->place(cxMemo1, QRect(8, 96, 461, 208), kAnchorAll);
    fitMemoFont(cxMemo1, lines);

    cxButton1 = new QPushButton(QStringLiteral("OK"), this);
    cxButton1->setObjectName(QStringLiteral("cxButton1"));
    cxButton1->setDefault(true);
    connect(cxButton1, &QPushButton::clicked, this, &QDialog::accept);
    anchors->place(cxButton1, QRect(396, 315, 75, 25), kAnchorRight | kAnchorBottom);

    setTabOrder(cxButton1, cxMemo1);
    cxButton1->setFocus();
}

QPoint TfrmWarningInfo::centredPosition(const QRect& main, const QSize& dialog) {
    // C++ division truncates toward zero, as the placement rule asks.
    return {main.left() + (main.width() - dialog.width()) / 2,
            main.top() + (main.height() - dialog.height()) / 2};
}

void TfrmWarningInfo::showEvent(QShowEvent* event) {
    FormShow();
    QDialog::showEvent(event);
}

void TfrmWarningInfo::FormShow() {
    const QRect mainFrame = m_mainWindow->frameGeometry();
    move(centredPosition(mainFrame, frameGeometry().size()));
    CaptionLAB->setText(m_mainWindow->windowTitle());
    cxButton1->setFocus();
}

}  // namespace kavrin
