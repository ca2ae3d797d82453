#include "ElidedLabel.h"

#include <QPainter>
#include <QStyle>
#include <QTextDocument>

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
    // Device strings and file names are shown as they are, never as markup.
    setTextFormat(Qt::PlainText);
}

QSize ElidedLabel::minimumSizeHint() const
{
    const QSize whole = QLabel::minimumSizeHint();
    return {fontMetrics().horizontalAdvance(QStringLiteral("W\u2026")), whole.height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    const QRect room = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, room.width());
    QString tip = shown == text() ? QString() : text();
    // A tooltip that looks like markup is shown as markup: a product name's "<h1>" is shown as
    // the characters it is.
    if (Qt::mightBeRichText(tip))
        tip = QStringLiteral("<qt>") + tip.toHtmlEscaped() + QStringLiteral("</qt>");
    if (toolTip() != tip)
        setToolTip(tip);
    QPainter painter(this);
    style()->drawItemText(&painter, room, int(alignment()), palette(), isEnabled(), shown, foregroundRole());
}
