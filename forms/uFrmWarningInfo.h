#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace kavrin {

// "Important Information": the rules for changing a database the server is using. Shown modally
// at the main window's first activation and by "Info", centred over the main window.
class TfrmWarningInfo : public QDialog {
public:
    // REQUIRES: `mainWindow` outlives the dialog.
    explicit TfrmWarningInfo(QWidget* mainWindow);

    // Top-left of a dialog of outer size `dialog` centred over `main` (outer frames); each half
    // of a difference drops its fraction toward zero, negative differences included.
    static QPoint centredPosition(const QRect& main, const QSize& dialog);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();

    QWidget* m_mainWindow;
    QWidget* Shape1;
    QWidget* Shape2;
    QLabel* Image1;
    QLabel* CaptionLAB;
    QLabel* Label1;
    QPlainTextEdit* cxMemo1;
    QPushButton* cxButton1;
};

}  // namespace kavrin
