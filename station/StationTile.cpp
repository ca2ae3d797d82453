#include "StationTile.h"

#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include <climits>

StationTile::StationTile(const QString &label, const QString &port, QWidget *parent)
    : QFrame(parent)
    , label_(label)
    , port_(port)
{
    setObjectName(QStringLiteral("tile-%1").arg(port));
    setFrameShape(QFrame::Box);
    setLineWidth(3);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus); // a scanner types into the window, never into a tile
    auto *box = new QVBoxLayout(this);
    box->setContentsMargins(8, 6, 8, 6);
    box->setSpacing(2);
    const auto line = [&](const char *name, int stretch) {
        auto *l = new QLabel(this);
        l->setObjectName(QLatin1String(name));
        l->setAlignment(Qt::AlignCenter);
        l->setTextFormat(Qt::PlainText);
        // A long text wraps within the tile; it never widens it.
        l->setWordWrap(true);
        // Its share of the tile is fixed (the stretch); the text is fitted to it.
        l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        box->addWidget(l, stretch);
        return l;
    };
    name = line("name", 2);
    name->setText(label);
    stateLine = line("state", 3);
    todo = line("instruction", 3);
    bar = new QProgressBar(this);
    bar->setObjectName(QStringLiteral("progress"));
    bar->setRange(0, 100);
    bar->setTextVisible(false);
    bar->setMaximumHeight(10);
    // Its place is kept when hidden: every part stays where it is in every tile.
    QSizePolicy kept = bar->sizePolicy();
    kept.setRetainSizeWhenHidden(true);
    bar->setSizePolicy(kept);
    box->addWidget(bar);
    serialLine = line("serial", 1);
    timeLine = line("time", 1);
    setState(State::Waiting, QString(), QString(), QString());
}

QString StationTile::wordOf(State s)
{
    switch (s) {
    case State::Empty: return tr("Empty");
    case State::Waiting: return tr("Waiting for a board");
    case State::Updating: return tr("Updating");
    case State::Done: return tr("Done");
    case State::UpToDate: return tr("Up to date");
    case State::Refused: return tr("Refused");
    case State::Failed: return tr("Failed");
    case State::Pulled: return tr("Pulled");
    case State::Blocked: return tr("Blocked");
    }
    return QString();
}

QString StationTile::symbolOf(State s)
{
    switch (s) {
    case State::Empty: return QStringLiteral("\u25CB"); // white circle
    case State::Waiting: return QStringLiteral("\u2026"); // ellipsis
    case State::Updating: return QStringLiteral("\u21BB"); // clockwise arrow
    case State::Done:
    case State::UpToDate: return QStringLiteral("\u2714"); // check mark
    case State::Refused: return QStringLiteral("\u2298"); // circled slash
    case State::Failed: return QStringLiteral("\u2716"); // heavy cross
    case State::Pulled: return QStringLiteral("\u26A0"); // warning sign
    case State::Blocked: return QStringLiteral("\u2016"); // double bar
    }
    return QString();
}

QColor StationTile::colourOf(State s, bool highContrast)
{
    switch (s) {
    case State::Empty:
    case State::Waiting: return highContrast ? QColor(Qt::black) : QColor(0xE8, 0xE8, 0xE8);
    case State::Updating: return highContrast ? QColor(0x00, 0x00, 0xA0) : QColor(0xBB, 0xD7, 0xF5);
    case State::Done:
    case State::UpToDate: return highContrast ? QColor(0x00, 0x60, 0x00) : QColor(0xB5, 0xE6, 0xB5);
    case State::Refused:
    case State::Pulled:
    case State::Blocked: return highContrast ? QColor(0x80, 0x50, 0x00) : QColor(0xFF, 0xD8, 0x99);
    case State::Failed: return highContrast ? QColor(0x90, 0x00, 0x00) : QColor(0xF5, 0xB0, 0xB0);
    }
    return QColor();
}

void StationTile::setState(State state, const QString &detail, const QString &instruction, const QString &technical)
{
    state_ = state;
    detail_ = detail;
    instruction_ = instruction;
    technical_ = technical;
    technicalShown_ = false;
    if (state != State::Updating)
        bar->hide();
    if (state == State::Empty || state == State::Waiting) {
        serial_.clear();
        time_.clear();
        scanned_.clear();
        scanMismatch = false;
    }
    paint();
}

void StationTile::setSerial(const QString &serial)
{
    serial_ = serial;
    paint();
}

void StationTile::setTime(const QString &time)
{
    time_ = time;
    paint();
}

void StationTile::setProgress(int percent)
{
    bar->setVisible(percent >= 0);
    bar->setValue(std::max(0, percent));
}

void StationTile::setScannedLabel(const QString &label, bool mismatch)
{
    scanned_ = label;
    scanMismatch = mismatch;
    paint();
}

void StationTile::setHighContrast(bool on)
{
    highContrast = on;
    paint();
}

QString StationTile::instruction() const
{
    return technicalShown_ ? technical_ : instruction_;
}

void StationTile::paint()
{
    QPalette p = palette();
    const QColor background = colourOf(state_, highContrast);
    const QColor text = highContrast ? QColor(Qt::white) : QColor(Qt::black);
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    setPalette(p);
    stateLine->setText(symbolOf(state_) + QLatin1Char(' ') + wordOf(state_)
                       + (detail_.isEmpty() ? QString() : QStringLiteral("\n") + detail_));
    todo->setText(instruction());
    QStringList who;
    if (!serial_.isEmpty())
        who << tr("Serial %1").arg(serial_);
    if (!scanned_.isEmpty())
        who << (scanMismatch ? tr("Label %1 does not match").arg(scanned_) : tr("Label %1").arg(scanned_));
    serialLine->setText(who.join(QStringLiteral(" \u00B7 ")));
    timeLine->setText(time_);
    describe();
    fitTexts();
}

void StationTile::describe()
{
    // What a screen reader says: the slot and its state first, then what to do and the rest.
    setAccessibleName(tr("%1: %2").arg(label_, wordOf(state_)));
    QStringList more;
    for (const QString &part : {detail_, instruction_, serialLine->text(), time_}) {
        if (!part.isEmpty())
            more << part;
    }
    setAccessibleDescription(more.join(QStringLiteral(". ")));
}

void StationTile::fitTexts()
{
    // Sized from the tile's height for a screen read at two metres, then made smaller until the
    // text fits its place: a long word of some language is never cut.
    const int h = std::max(60, height());
    const auto fit = [&](QLabel *l, double share, bool bold) {
        QFont f = l->font();
        f.setBold(bold);
        const QRect room(0, 0, std::max(1, l->width()), INT_MAX);
        for (int size = std::max(10, int(h * share)); size >= 8; --size) {
            f.setPixelSize(size);
            const QRect needed = QFontMetrics(f).boundingRect(room, Qt::AlignCenter | Qt::TextWordWrap, l->text());
            if ((needed.height() <= l->height() && needed.width() <= l->width()) || size == 8)
                break;
        }
        l->setFont(f);
    };
    fit(name, 0.13, true);
    fit(stateLine, 0.11, true);
    fit(todo, 0.10, false);
    fit(serialLine, 0.07, false);
    fit(timeLine, 0.07, false);
}

void StationTile::mousePressEvent(QMouseEvent *event)
{
    if (!technical_.isEmpty()) {
        technicalShown_ = !technicalShown_;
        paint();
    }
    QFrame::mousePressEvent(event);
}

void StationTile::resizeEvent(QResizeEvent *event)
{
    QFrame::resizeEvent(event);
    fitTexts();
}
