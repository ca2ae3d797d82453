#include "StationWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSoundEffect>
#include <QVBoxLayout>

#include <cmath>

namespace {

// A scanner types a label in well under this; keys further apart are a person's.
constexpr int ScanKeysMs = 1500;
constexpr int MaxScan = 128;

QString phaseWord(const QString &phase)
{
    if (phase == QLatin1String("erase"))
        return StationWindow::tr("erasing");
    if (phase == QLatin1String("write"))
        return StationWindow::tr("writing");
    if (phase == QLatin1String("verify"))
        return StationWindow::tr("verifying");
    if (phase == QLatin1String("return"))
        return StationWindow::tr("restarting");
    if (phase == QLatin1String("compare"))
        return StationWindow::tr("comparing");
    return StationWindow::tr("reading");
}

QString seconds(qint64 ms)
{
    return StationWindow::tr("%1 s").arg(QString::number(double(ms) / 1000.0, 'f', 1));
}

} // namespace

bool StationWindow::loadLanguage(const QString &language)
{
    // The profile's language, else the system's; English needs nothing.
    const QLocale locale = language.isEmpty() ? QLocale::system() : QLocale(language);
    static QTranslator ours, qt;
    QCoreApplication::removeTranslator(&ours);
    QCoreApplication::removeTranslator(&qt);
    if (locale.language() == QLocale::English || locale.language() == QLocale::C)
        return true;
    if (!ours.load(locale, QStringLiteral("tolvex-dfu-station"), QStringLiteral("_"), QStringLiteral(":/translations")))
        return false;
    QCoreApplication::installTranslator(&ours);
    // Qt's own words (a dialog's buttons), where the system has them.
    if (qt.load(
            locale, QStringLiteral("qtbase"), QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qt);
    return true;
}

QUrl StationWindow::soundOf(bool needsHand)
{
    return QUrl(needsHand ? QStringLiteral("qrc:/sounds/needs-a-hand.wav") : QStringLiteral("qrc:/sounds/done.wav"));
}

StationWindow::StationWindow(const Setup &s, QWidget *parent) : QWidget(parent), setup(s)
{
    setObjectName(QStringLiteral("station"));
    setWindowTitle(tr("Tolvex DFU station"));
    // A small touch panel by a fixture; every text fits a tile there, in every language.
    setMinimumSize(MinimumWidth, MinimumHeight);
    history = std::make_unique<update::HistoryWriter>(setup.settings.historyPath, setup.history);
    station_ = std::make_unique<update::Station>(setup.settings, *history);

    auto *outer = new QVBoxLayout(this);
    auto *header = new QVBoxLayout;
    firmwareLine = new QLabel(this);
    firmwareLine->setObjectName(QStringLiteral("firmware"));
    lotLine = new QLabel(this);
    lotLine->setObjectName(QStringLiteral("lot"));
    lockLine = new QLabel(this);
    lockLine->setObjectName(QStringLiteral("notLocked"));
    statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("status"));
    for (QLabel *l : {firmwareLine, lotLine, lockLine, statusLine}) {
        l->setTextFormat(Qt::PlainText);
        l->setWordWrap(true);
        header->addWidget(l);
    }
    outer->addLayout(header);
    grid = new QGridLayout;
    grid->setSpacing(8);
    outer->addLayout(grid, 1);
    // The counts on one line and the rates on another: each short enough for the narrowest
    // window the screen allows, never wrapped out of sight.
    counters = new QLabel(this);
    counters->setObjectName(QStringLiteral("counters"));
    rates = new QLabel(this);
    rates->setObjectName(QStringLiteral("rates"));
    for (QLabel *l : {counters, rates}) {
        l->setTextFormat(Qt::PlainText);
        outer->addWidget(l);
    }
    auto *buttons = new QHBoxLayout;
    pauseButton = new QPushButton(tr("Pause"), this);
    pauseButton->setObjectName(QStringLiteral("pause"));
    resumeButton = new QPushButton(tr("Resume"), this);
    resumeButton->setObjectName(QStringLiteral("resume"));
    for (QPushButton *b : {pauseButton, resumeButton}) {
        // Large enough for a gloved hand; never the focus, which a scanner's Enter would press.
        b->setMinimumSize(220, 80);
        b->setFocusPolicy(Qt::NoFocus);
        QFont f = b->font();
        f.setPixelSize(28);
        f.setBold(true);
        b->setFont(f);
        buttons->addWidget(b);
    }
    endLotButton = new QPushButton(tr("End lot"), this);
    endLotButton->setObjectName(QStringLiteral("endLot"));
    endLotButton->setFocusPolicy(Qt::NoFocus);
    endLotButton->setMinimumSize(160, 80);
    endLotButton->setVisible(setup.profile.lot == QLatin1String("ask"));
    buttons->addWidget(endLotButton);
    connect(endLotButton, &QPushButton::clicked, this, &StationWindow::askEndLot);
    resumeButton->setEnabled(false);
    connect(pauseButton, &QPushButton::clicked, this, &StationWindow::pause);
    connect(resumeButton, &QPushButton::clicked, this, &StationWindow::resume);
    outer->addLayout(buttons);

    for (const auto &port : setup.profile.ports)
        order << port.first;
    for (const QString &port : order)
        tileFor(port);
    placeTiles();
    if (setup.profile.highContrast) {
        QPalette p = palette();
        p.setColor(QPalette::Window, Qt::black);
        p.setColor(QPalette::WindowText, Qt::white);
        setPalette(p);
        setAutoFillBackground(true);
    }

    wire();
    if (setup.profile.sound) {
        // Without a sound device they stay silent: no error, the screen says everything too.
        doneSound = new QSoundEffect(this);
        doneSound->setSource(soundOf(false));
        handSound = new QSoundEffect(this);
        handSound->setSource(soundOf(true));
        connect(this, &StationWindow::boardEnded, this,
            [this](const QString &, bool needsHand) { (needsHand ? handSound : doneSound)->play(); });
    }
    typedTimeout.setSingleShot(true);
    typedTimeout.setInterval(ScanKeysMs);
    connect(&typedTimeout, &QTimer::timeout, this, [this] { typed.clear(); });
    qApp->installEventFilter(this);
    showHeader();
    station_->start(); // reads where the lot stands
    showCounters();
}

void StationWindow::wire()
{
    update::Station &st = *station_;
    st.arrived = [this](const update::Session &session, const update::Device &d) {
        StationTile *t = tileFor(d.location);
        t->setState(StationTile::State::Updating, tr("starting"), tr("Leave it plugged in"), QString());
        t->setSerial(d.dfuMode() && !d.appSerial.isEmpty() ? d.appSerial : d.serial);
        const QString scanned = station_->scannedLabelAt(d.location);
        if (!scanned.isEmpty())
            t->setScannedLabel(scanned, false);
        Q_UNUSED(session);
    };
    st.progressed = [this](const update::Session &session, const update::Session::Progress &p) {
        StationTile *t = tileFor(session.device().location);
        t->setState(StationTile::State::Updating, tr("%1 %2 %").arg(phaseWord(p.phase)).arg(p.percent),
            tr("Leave it plugged in"), QString());
        t->setProgress(p.percent);
        t->setTime(seconds(session.elapsedMs()));
    };
    st.ended = [this](const update::Session &session, const update::History::Record &r, bool) {
        const QString port = session.device().location;
        StationTile *t = tileFor(port);
        const StationTile::State state = stateOf(session, r);
        const QString detail = state == StationTile::State::Done
                                   ? QStringLiteral("%1 \u2192 %2").arg(session.oldVersion(), session.newVersion())
                                   : QString();
        t->setState(state, detail, instructionFor(session, r), session.message());
        t->setSerial(r.serial);
        t->setTime(seconds(session.elapsedMs()));
        if (!r.scannedLabel.isEmpty())
            t->setScannedLabel(r.scannedLabel, session.message().contains(QLatin1String("does not match")));
        showCounters();
        Q_EMIT boardEnded(port, state != StationTile::State::Done && state != StationTile::State::UpToDate);
    };
    // A board taken out after it was done leaves an empty tile; one that needs a hand keeps
    // saying what to do with it until the next board arrives.
    st.left = [this](const QString &port) {
        StationTile *t = tileFor(port);
        if (t->state() == StationTile::State::Done || t->state() == StationTile::State::UpToDate
            || t->state() == StationTile::State::Blocked)
            t->setState(station_->draining() ? StationTile::State::Empty : StationTile::State::Waiting, QString(),
                QString(), QString());
    };
    st.problem = [this](const QString &text) { qWarning("Station: %s", qPrintable(text)); };
    st.over = [this] {
        over = true;
        if (closing)
            close();
        else if (nextLot)
            startLot();
    };
    st.held = [this](const update::Device &d) {
        StationTile *t = tileFor(d.location);
        t->setState(StationTile::State::Blocked, QString(), tr("Press Resume to update it"), QString());
        t->setSerial(d.serial);
    };
}

StationWindow::~StationWindow()
{
    qApp->removeEventFilter(this);
    station_.reset();
    history.reset(); // drains: every row is written before the window goes
}

StationTile *StationWindow::tileFor(const QString &port)
{
    if (StationTile *t = tiles.value(port))
        return t;
    // A port the profile does not name (no [ports] given): a tile of its own, named by the port.
    const QString label = setup.settings.labels.value(port, port);
    auto *t = new StationTile(label, port, this);
    t->setHighContrast(setup.profile.highContrast);
    tiles.insert(port, t);
    if (!order.contains(port)) {
        order << port;
        placeTiles();
    }
    return t;
}

void StationWindow::placeTiles()
{
    const int n = int(order.size());
    const int columns = setup.profile.columns > 0 ? setup.profile.columns
                                                  : std::max(1, int(std::ceil(std::sqrt(double(std::max(1, n))))));
    for (int i = 0; i < n; ++i) {
        StationTile *t = tiles.value(order[i]);
        grid->removeWidget(t);
        grid->addWidget(t, i / columns, i % columns);
    }
    for (int c = 0; c < columns; ++c)
        grid->setColumnStretch(c, 1);
    for (int r = 0; r < (n + columns - 1) / columns; ++r)
        grid->setRowStretch(r, 1);
}

void StationWindow::showHeader()
{
    const update::Station::Settings &s = setup.settings;
    const QString sha = s.road.file ? s.road.file->sha256.left(12) : QString();
    // The library says "not signed" or names the key, whose name is data.
    const QString signature =
        setup.firmware.signature == QLatin1String("not signed") ? tr("not signed") : setup.firmware.signature;
    firmwareLine->setText(
        tr("Firmware %1 · release %2 · %3 · SHA-256 %4")
            .arg(s.road.file ? QFileInfo(s.road.file->path).fileName() : QString(),
                setup.firmware.release.isEmpty() ? tr("not given") : setup.firmware.release, signature, sha));
    QStringList lot;
    if (!s.operatorName.isEmpty())
        lot << tr("Operator %1").arg(s.operatorName);
    if (!s.lot.isEmpty())
        lot << tr("Lot %1").arg(s.lot);
    lotLine->setText(lot.join(QStringLiteral(" · ")));
    lotLine->setVisible(!lot.isEmpty());
    lockLine->setText(
        tr("The profile %1 is not locked: anyone who can write it changes this line").arg(setup.profile.path));
    lockLine->setVisible(!setup.profile.locked);
    QFont big = firmwareLine->font();
    big.setPixelSize(std::max(14, height() / 40));
    for (QLabel *l : {firmwareLine, lotLine, lockLine, statusLine, counters, rates})
        l->setFont(big);
}

void StationWindow::showCounters()
{
    const update::Station::Tally t = station_->tally();
    const QStringList counts{tr("Done %1").arg(t.done), tr("Up to date %1").arg(t.upToDate),
        tr("Refused %1").arg(t.refused), tr("Failed %1").arg(t.failed + t.pulled + t.interrupted),
        tr("In progress %1").arg(t.inProgress)};
    QStringList rated;
    if (t.boards > 0)
        rated << tr("First-pass yield %1 %").arg(100 * t.firstPass / t.boards);
    if (t.perHour > 0)
        rated << tr("%1 boards an hour").arg(qRound(t.perHour));
    if (t.medianSeconds > 0)
        rated << tr("median %1 s a board").arg(QString::number(t.medianSeconds, 'f', 1));
    counters->setText(counts.join(QStringLiteral(" · ")));
    rates->setText(rated.join(QStringLiteral(" · ")));
}

StationTile::State StationWindow::stateOf(const update::Session &s, const update::History::Record &r)
{
    using R = update::Session::Result;
    switch (s.result()) {
    case R::Done:
        return r.result == QLatin1String("up to date") ? StationTile::State::UpToDate : StationTile::State::Done;
    case R::Refused: return StationTile::State::Refused;
    case R::Pulled:
    case R::Interrupted: return StationTile::State::Pulled;
    default: return StationTile::State::Failed;
    }
}

QString StationWindow::instructionFor(const update::Session &s, const update::History::Record &r)
{
    using R = update::Session::Result;
    const QString &m = s.message();
    switch (s.result()) {
    case R::Done:
        return r.result == QLatin1String("up to date") ? tr("Take it out: it is up to date") : tr("Take it out: done");
    case R::Refused:
        if (m.contains(QLatin1String("does not match the board's serial")))
            return tr("Scan the label again");
        if (m.contains(QLatin1String("no label was scanned")))
            return tr("Scan its label, then plug it in again");
        if (m.contains(QLatin1String("older than the board's firmware")))
            return tr("Put it aside: its firmware is newer");
        return tr("Put it aside: wrong product");
    case R::Pulled:
    case R::Interrupted: return tr("Plug it in again to finish");
    case R::Missing: return tr("Plug it in again");
    case R::Replaced: return tr("Put the first board back to finish it");
    default: return tr("Plug it in again; if it fails again, put it aside");
    }
}

QString StationWindow::lotSummary() const
{
    const update::Station::Tally t = station_->tally();
    QString text = tr("Lot %1: done %2, up to date %3, refused %4, failed %5")
                       .arg(setup.settings.lot)
                       .arg(t.done)
                       .arg(t.upToDate)
                       .arg(t.refused)
                       .arg(t.failed + t.pulled + t.interrupted);
    if (t.boards > 0)
        text += QLatin1Char('\n')
                + tr("First-pass yield %1 % of %2 boards").arg(100 * t.firstPass / t.boards).arg(t.boards);
    if (t.medianSeconds > 0)
        text += QLatin1Char('\n') + tr("median %1 s a board").arg(QString::number(t.medianSeconds, 'f', 1));
    return text;
}

void StationWindow::endLot(const QString &next)
{
    // The running boards finish in the lot they began in; the next lot begins after them.
    nextLot = next.trimmed();
    if (nextLot->isEmpty()) {
        nextLot.reset();
        return;
    }
    pause();
    statusLine->setText(tr("Ending lot %1: the running boards finish first").arg(setup.settings.lot));
    if (over)
        startLot();
}

void StationWindow::startLot()
{
    setup.settings.lot = *nextLot;
    nextLot.reset();
    station_->beginLot(setup.settings.lot);
    showHeader();
    resume();
    showCounters();
}

void StationWindow::askEndLot()
{
    QMessageBox::information(this, tr("End lot"), lotSummary());
    bool ok = false;
    const QString next = QInputDialog::getText(
        this, tr("End lot"), tr("Next lot or work order (type or scan):"), QLineEdit::Normal, QString(), &ok);
    if (ok)
        endLot(next);
}

void StationWindow::pause()
{
    station_->drain();
    pauseButton->setEnabled(false);
    resumeButton->setEnabled(true);
    statusLine->setText(tr("Paused: the running boards finish; no new board is started"));
    for (StationTile *t : tiles) {
        if (t->state() == StationTile::State::Waiting)
            t->setState(StationTile::State::Empty, QString(), QString(), QString());
    }
}

void StationWindow::resume()
{
    if (closing)
        return;
    station_->resume();
    over = false;
    pauseButton->setEnabled(true);
    resumeButton->setEnabled(false);
    statusLine->clear();
    for (StationTile *t : tiles) {
        if (t->state() == StationTile::State::Empty)
            t->setState(StationTile::State::Waiting, QString(), QString(), QString());
    }
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    // The running boards finish first; every row is complete when the window goes.
    if (!over) {
        closing = true;
        pause();
        statusLine->setText(tr("Closing: the running boards finish first"));
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

bool StationWindow::eventFilter(QObject *watched, QEvent *event)
{
    // A scanner is a keyboard: its label and Enter are read wherever the focus is, while this
    // window is the active one.
    if (event->type() != QEvent::KeyPress || !isActiveWindow())
        return QWidget::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        const QString label = typed.trimmed();
        typed.clear();
        if (!label.isEmpty()) {
            station_->scanned(label);
            statusLine->setText(tr("Scanned %1: plug in its board").arg(label));
        }
        return true;
    }
    const QString text = key->text();
    if (!text.isEmpty() && text.at(0).isPrint()) {
        if (typed.size() < MaxScan)
            typed += text;
        typedTimeout.start();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void StationWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    showHeader();
}
