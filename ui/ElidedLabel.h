#pragma once

#include <QLabel>

// A one-line plain-text label that never widens the window for a long text: what does not
// fit is cut with an ellipsis, and the whole text is then its tooltip. text() stays whole.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
