#pragma once

#include <QLabel>
#include <QString>

namespace kavrin {

// A one-line label that gives up width before it cuts its text: narrower than the text, it shows
// the text shortened in the middle, and the whole text as its tooltip. text() is the whole text.
class ElidingLabel : public QLabel {
public:
    // `preferredWidth`: the width it asks for; `minimumWidth`: what it can be squeezed to.
    ElidingLabel(int preferredWidth, int minimumWidth, QWidget* parent);

    // Replaces the text (use it rather than setText, which would leave the tooltip behind).
    void showText(const QString& text);
    bool isElided() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();

    int m_preferredWidth;
    int m_minimumWidth;
};

}  // namespace kavrin
