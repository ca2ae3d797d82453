// The station screen over simulated boards: each tile's state in words, colour and for
// assistive technology, with the one thing an operator is to do; the scanner read wherever the
// focus is; the lot's counters across a restart; closing finishes the running boards; a
// profile whose firmware changed starts nothing.

#include "Bytes.h"
#include "ConfigCipher.h"
#include "ConfigFile.h"
#include "DfuFileFormat.h"
#include "History.h"
#include "SimHid.h"
#include "StationWindow.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

Q_DECLARE_METATYPE(sim::DfuFaults)

namespace {

constexpr uint32_t Flash = 0x08000000;

QByteArray dfuBytes(const QByteArray &data)
{
    dfulib::Target t;
    t.alternate = 1;
    t.name = "fw_main_v2";
    t.elements.emplace_back(Flash, std::vector<uint8_t>(data.begin(), data.end()));
    std::vector<uint8_t> bytes;
    dfulib::buildFile(0x1209, 0x2A17, 0x0101, {t}, bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

} // namespace

class StationWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void tilesSayWhatToDo_data();
    void tilesSayWhatToDo();
    void sixteenPorts();
    void countersSurviveARestart();
    void closingFinishesTheBoards();
    void lotEndedAndBoardsHeld();
    void changedFirmwareStartsNothing();
    void everyLanguage_data();
    void everyLanguage();

private:
    // A profile of `ports` ports (1-1 = A1 ...) in the test's folder, loaded as the screen
    // loads it, with `more` lines in it.
    StationWindow::Setup setup(int ports, const QString &more = QString());
    QTemporaryDir *dir = nullptr;
};

void StationWindowTest::init()
{
    dir = new QTemporaryDir;
    ConfigCipher cipher(ConfigurationKey);
    QVERIFY(
        writeFile(dir->filePath(QStringLiteral("Config.ini")), cipher.encryptBytes("Tolvex Demo Board,fw_main_v2\n")));
    QVERIFY(writeFile(dir->filePath(QStringLiteral("fw.dfu")), dfuBytes(firmware("V1.1"))));
}

void StationWindowTest::cleanup()
{
    hidTransport.close();
    sim::World::instance().unplugAll();
    delete dir;
    dir = nullptr;
}

StationWindow::Setup StationWindowTest::setup(int ports, const QString &more)
{
    QString text = QStringLiteral("firmware = fw.dfu\nconfig = Config.ini\nhistory = h.sqlite\ncolumns = 4\n") + more
                   + QStringLiteral("\n[ports]\n");
    for (int i = 1; i <= ports; ++i)
        text += QStringLiteral("1-%1 = %2%3\n").arg(i).arg(QChar(QLatin1Char('A' + (i - 1) / 4))).arg((i - 1) % 4 + 1);
    const QString path = dir->filePath(QStringLiteral("station.conf"));
    writeFile(path, text.toUtf8());
    StationWindow::Setup s;
    const Outcome ready = update::stationFromProfile(path, s.profile, s.settings, s.firmware);
    if (!ready)
        qWarning("%s", qPrintable(ready.message()));
    // Fixed in the profile, not asked for.
    s.settings.operatorName = s.profile.operatorName;
    s.settings.lot = s.profile.lot;
    s.settings.road.arrivalTimeoutMs = 5000;
    s.settings.lookMs = 10;
    return s;
}

void StationWindowTest::tilesSayWhatToDo_data()
{
    QTest::addColumn<QString>("profileLine"); // added to the profile
    QTest::addColumn<QString>("scanned"); // typed by the scanner before the board comes; empty: none
    QTest::addColumn<QByteArray>("bootProduct"); // the name its boot loader gives; empty: the usual
    QTest::addColumn<sim::DfuFaults>("faults");
    // Pulled 0.3 s in, on its way to DFU mode, and another board (TVX-0002) put in its port.
    QTest::addColumn<bool>("swapped");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("instruction");
    QTest::addColumn<QString>("described"); // also in the tile's accessible description
    QTest::addColumn<bool>("untouched"); // nothing was asked of the board
    using S = StationTile::State;
    sim::DfuFaults none, failing, pulled;
    failing.errorAtBlock = 3;
    pulled.disconnectAtBlock = 3;
    for (sim::DfuFaults *f : {&none, &failing, &pulled})
        f->once = true;
    QTest::newRow("done") << QString() << QString() << QByteArray() << none << false << int(S::Done)
                          << "Take it out: done" << QString() << false;
    QTest::newRow("a product Config.ini does not list")
        << QString() << QString() << QByteArray("Tolvex Loader") << none << false << int(S::Refused)
        << "Put it aside: wrong product" << QString() << false;
    QTest::newRow("a write that fails") << QString() << QString() << QByteArray() << failing << false << int(S::Failed)
                                        << "Plug it in again; if it fails again" << QString() << false;
    QTest::newRow("pulled during the write") << QString() << QString() << QByteArray() << pulled << false
                                             << int(S::Pulled) << "Plug it in again to finish" << QString() << false;
    QTest::newRow("a scanned label that is not the board's")
        << QStringLiteral("scan = optional") << QStringLiteral("TVX-0999") << QByteArray() << none << false
        << int(S::Refused) << "Scan the label again" << QStringLiteral("Label TVX-0999 does not match") << true;
    QTest::newRow("high contrast") << QStringLiteral("theme = high-contrast") << QString() << QByteArray() << none
                                   << false << int(S::Done) << "Take it out: done" << QString() << false;
    // The tile goes on with the board put in.
    QTest::newRow("a board swapped before DFU mode")
        << QString() << QString() << QByteArray() << none << true << int(S::Done) << "Take it out: done"
        << QStringLiteral("Serial TVX-0002") << false;
}

// One board at port 1-2 (tile A2), its end as the tile tells it: words, symbol, colour, what to
// do, the technical message a tap away, and the same for a screen reader.
void StationWindowTest::tilesSayWhatToDo()
{
    QFETCH(QString, profileLine);
    QFETCH(QString, scanned);
    QFETCH(QByteArray, bootProduct);
    QFETCH(sim::DfuFaults, faults);
    QFETCH(bool, swapped);
    QFETCH(int, state);
    QFETCH(QString, instruction);
    QFETCH(QString, described);
    QFETCH(bool, untouched);
    StationWindow window(setup(4, profileLine));
    window.resize(1000, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    if (!scanned.isEmpty()) {
        // Typed by the scanner while nothing in particular has the focus.
        QTest::keyClicks(QApplication::focusWidget() ? QApplication::focusWidget() : &window, scanned);
        QTest::keyClick(&window, Qt::Key_Return);
        QVERIFY2(window.findChild<QLabel *>(QStringLiteral("status"))->text().contains(scanned),
            qPrintable(window.findChild<QLabel *>(QStringLiteral("status"))->text()));
    }
    const sim::Board board =
        plugBoard(sim::HidAppDeviceSpec(), "V1.0", swapped ? 3000 : 50, bootProduct.toStdString(), 2);
    sim::HidAppDeviceSpec other;
    other.serial = "TVX-0002";
    const sim::Board another = sim::makeBoard(other, sim::DfuDeviceSpec::twoAlternates(), 50);
    another.app->setVersionText("V1.0");
    if (swapped) {
        sim::World::instance().unplugPortLater(2, 300);
        sim::World::instance().plugLater(another.app, 400, 2, false);
    }
    board.dfu->setFaults(faults);
    QSignalSpy ends(&window, &StationWindow::boardEnded);
    StationTile *tile = window.tile(QStringLiteral("1-2"));
    QVERIFY(tile);
    QTRY_VERIFY_WITH_TIMEOUT(tile->state() != StationTile::State::Waiting
                                 && tile->state() != StationTile::State::Updating && ends.size() == (swapped ? 2 : 1),
        10000);
    QCOMPARE(int(tile->state()), state);
    // The sound of the end: one that needs a hand sounds otherwise, and both are shipped.
    QCOMPARE(ends.last()[0].toString(), QStringLiteral("1-2"));
    const bool hand = state != int(StationTile::State::Done);
    QCOMPARE(ends.last()[1].toBool(), hand);
    if (swapped)
        QVERIFY(ends.first()[1].toBool()); // the pulled one needs a hand
    QVERIFY2(tile->accessibleDescription().contains(described), qPrintable(tile->accessibleDescription()));
    QVERIFY(QFile::exists(QLatin1Char(':') + StationWindow::soundOf(hand).path()));
    const QString word = StationTile::wordOf(tile->state());
    QCOMPARE(tile->accessibleName(), QStringLiteral("A2: %1").arg(word));
    QVERIFY2(tile->accessibleDescription().contains(instruction), qPrintable(tile->accessibleDescription()));
    QVERIFY2(tile->instruction().startsWith(instruction), qPrintable(tile->instruction()));
    QCOMPARE(tile->palette().color(QPalette::Window),
        StationTile::colourOf(tile->state(), profileLine.contains(QLatin1String("high-contrast"))));
    // The symbol beside the colour, and the state in words.
    QVERIFY(
        tile->findChild<QLabel *>(QStringLiteral("state"))->text().startsWith(StationTile::symbolOf(tile->state())));
    // The technical message a tap away, and back.
    if (state != int(StationTile::State::Done)) {
        QTest::mouseClick(tile, Qt::LeftButton);
        QVERIFY(tile->technicalShown());
        QVERIFY(!tile->instruction().startsWith(instruction));
        QTest::mouseClick(tile, Qt::LeftButton);
        QVERIFY(tile->instruction().startsWith(instruction));
    }
    if (untouched)
        QCOMPARE(board.app->requests().size(), size_t(0));
    // The other tiles wait, named by their labels.
    QCOMPARE(window.tile(QStringLiteral("1-1"))->accessibleName(), QStringLiteral("A1: Waiting for a board"));
}

// A fixture of 16 ports, boards arriving a little apart: every tile ends done, the counters
// count them, and the screen's window stays readable.
void StationWindowTest::sixteenPorts()
{
    StationWindow window(setup(16));
    window.resize(1280, 800);
    window.show();
    QList<sim::Board> boards;
    for (int i = 1; i <= 16; ++i) {
        sim::HidAppDeviceSpec app;
        app.serial = "TVX-" + std::to_string(100 + i);
        boards << plugBoard(app, "V1.0", 50, std::string(), uint8_t(i));
        QTest::qWait(30);
    }
    for (int i = 1; i <= 16; ++i) {
        StationTile *t = window.tile(QStringLiteral("1-%1").arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(int(t->state()), int(StationTile::State::Done), 20000);
    }
    const QString counted = window.findChild<QLabel *>(QStringLiteral("counters"))->text();
    QVERIFY2(counted.startsWith(QStringLiteral("Done 16 · Up to date 0 · Refused 0 · Failed 0 · In progress 0")),
        qPrintable(counted));
    const QString rates = window.findChild<QLabel *>(QStringLiteral("rates"))->text();
    QVERIFY2(rates.startsWith(QStringLiteral("First-pass yield 100 % · ")) && rates.contains(QStringLiteral("a board")),
        qPrintable(rates));
    const QString picture = qEnvironmentVariable("TOLVEX_STATION_PICTURE");
    if (!picture.isEmpty())
        window.grab().save(picture);
}

// A station restarted in the middle of a lot goes on counting where it stopped.
void StationWindowTest::countersSurviveARestart()
{
    const QString lot = QStringLiteral("lot = L-9\noperator = Ana");
    {
        // central.conf's station-name, as the program reads it, is each row's host.
        StationWindow::Setup s = setup(2, lot);
        s.history.stationName = QStringLiteral("Line 9");
        StationWindow window(s);
        window.show();
        const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(
            int(window.tile(QStringLiteral("1-1"))->state()), int(StationTile::State::Done), 10000);
    }
    const QList<update::History::Record> rows = update::History(dir->filePath(QStringLiteral("h.sqlite"))).rows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].host, QStringLiteral("Line 9"));
    StationWindow again(setup(2, lot));
    again.show();
    QTRY_VERIFY2(again.findChild<QLabel *>(QStringLiteral("counters"))->text().startsWith(QStringLiteral("Done 1 ")),
        qPrintable(again.findChild<QLabel *>(QStringLiteral("counters"))->text()));
    QVERIFY(again.findChild<QLabel *>(QStringLiteral("lot"))->text().contains(QStringLiteral("Lot L-9")));
}

// Closing the window (as SIGTERM does) takes no new board and lets the running ones finish:
// the window goes only then, and no row is left "running".
void StationWindowTest::closingFinishesTheBoards()
{
    auto *window = new StationWindow(setup(3));
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    QPointer<StationWindow> alive(window);
    QList<sim::Board> boards;
    for (uint8_t port : {1, 2}) {
        boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), port);
        boards.last().dfu->setTiming(sim::Timing::Realistic);
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        int(window->tile(QStringLiteral("1-1"))->state()), int(StationTile::State::Updating), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(
        int(window->tile(QStringLiteral("1-2"))->state()), int(StationTile::State::Updating), 5000);
    QVERIFY(!window->close()); // not yet: two boards are running
    boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 3);
    QTRY_VERIFY_WITH_TIMEOUT(alive.isNull(), 20000);
    QCOMPARE(boards[2].app->versionText(), std::string("V1.0")); // plugged after the close: not taken
    const QList<update::History::Record> rows = update::History(dir->filePath(QStringLiteral("h.sqlite"))).rows();
    QCOMPARE(rows.size(), 2);
    for (const update::History::Record &r : rows)
        QCOMPARE(r.result, QStringLiteral("done"));
}

// "End lot" says the lot's tally and goes on with the next lot; a board plugged in while the
// screen is paused waits, untouched, until Resume.
void StationWindowTest::lotEndedAndBoardsHeld()
{
    StationWindow::Setup s = setup(2, QStringLiteral("lot = ask"));
    s.settings.lot = QStringLiteral("L-1");
    StationWindow window(s);
    window.show();
    QVERIFY(window.findChild<QPushButton *>(QStringLiteral("endLot"))->isVisible());
    sim::HidAppDeviceSpec second;
    second.serial = "TVX-0002";
    const sim::Board first = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(int(window.tile(QStringLiteral("1-1"))->state()), int(StationTile::State::Done), 10000);
    QVERIFY2(window.lotSummary().startsWith(QStringLiteral("Lot L-1: done 1, up to date 0")),
        qPrintable(window.lotSummary()));
    window.endLot(QStringLiteral("L-2"));
    QTRY_VERIFY(window.findChild<QLabel *>(QStringLiteral("lot"))->text().contains(QStringLiteral("Lot L-2")));
    QVERIFY(window.findChild<QLabel *>(QStringLiteral("counters"))->text().startsWith(QStringLiteral("Done 0 ")));

    window.pause();
    const sim::Board held = plugBoard(second, "V1.0", 50, std::string(), 2);
    StationTile *tile = window.tile(QStringLiteral("1-2"));
    QTRY_COMPARE(int(tile->state()), int(StationTile::State::Blocked));
    QCOMPARE(tile->instruction(), QStringLiteral("Press Resume to update it"));
    QTest::qWait(300);
    QCOMPARE(held.app->requests().size(), size_t(0));
    window.resume();
    QTRY_COMPARE_WITH_TIMEOUT(int(tile->state()), int(StationTile::State::Done), 10000);
    QCOMPARE(held.app->versionText(), std::string("V1.1"));
    QTRY_COMPARE(update::History(dir->filePath(QStringLiteral("h.sqlite"))).rows().size(), 2);
    const QList<update::History::Record> rows = update::History(dir->filePath(QStringLiteral("h.sqlite"))).rows();
    QCOMPARE(rows[0].lot, QStringLiteral("L-1"));
    QCOMPARE(rows[1].lot, QStringLiteral("L-2"));
}

// A firmware file that is no longer the one the profile names: the station does not start,
// and says both hashes.
void StationWindowTest::changedFirmwareStartsNothing()
{
    const QString sha = QString::fromLatin1(
        QCryptographicHash::hash(readFile(dir->filePath(QStringLiteral("fw.dfu"))), QCryptographicHash::Sha256)
            .toHex());
    const QString other(64, QLatin1Char('e'));
    const QString path = dir->filePath(QStringLiteral("station.conf"));
    QVERIFY(
        writeFile(path, QStringLiteral("firmware = fw.dfu\nconfig = Config.ini\nsha256 = %1\n").arg(other).toUtf8()));
    update::StationProfile profile;
    update::Station::Settings settings;
    update::StationFirmware firmware;
    QVERIFY(update::loadStationProfile(path, profile));
    const Outcome refused = update::stationSettings(profile, settings, firmware);
    QCOMPARE(int(refused.kind()), int(Outcome::Kind::Refused));
    QVERIFY2(refused.message().contains(sha) && refused.message().contains(other), qPrintable(refused.message()));
}

namespace {

// Each tile of a four-port screen in another state, with the instruction of such an end.
void everyState(StationWindow &window)
{
    using S = StationTile::State;
    const QList<std::pair<S, const char *>> states{{S::Done, "Take it out: done"},
        {S::Refused, "Put it aside: wrong product"}, {S::Pulled, "Plug it in again to finish"},
        {S::Failed, "Plug it in again; if it fails again, put it aside"}};
    int i = 0;
    for (const auto &s : states) {
        StationTile *t = window.tile(QStringLiteral("1-%1").arg(++i));
        t->setState(s.first, QString(), QCoreApplication::translate("StationWindow", s.second), QString());
        t->setSerial(QStringLiteral("TVX-000%1").arg(i));
    }
}

// The texts of the screen that are words (not names, serials or numbers), by widget.
QMap<QString, QString> wordsOf(const StationWindow &window)
{
    QMap<QString, QString> words;
    for (const QLabel *l : window.findChildren<QLabel *>()) {
        const QString name = l->objectName();
        if (name == QLatin1String("state") || name == QLatin1String("instruction") || name == QLatin1String("serial")
            || name == QLatin1String("counters") || name == QLatin1String("firmware"))
            words.insert(l->parentWidget()->objectName() + QLatin1Char('/') + name, l->text());
    }
    for (const QPushButton *b : window.findChildren<QPushButton *>())
        words.insert(b->objectName(), b->text());
    return words;
}

} // namespace

void StationWindowTest::everyLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("German") << "de";
    QTest::newRow("Spanish") << "es";
    QTest::newRow("Simplified Chinese") << "zh_CN";
}

// Every word of the screen in each language, and none cut off in a tile at the smallest window
// the screen allows.
void StationWindowTest::everyLanguage()
{
    QFETCH(QString, language);
    QMap<QString, QString> english;
    {
        StationWindow window(setup(4));
        everyState(window);
        english = wordsOf(window);
    }
    QVERIFY(StationWindow::loadLanguage(language));
    StationWindow window(setup(4));
    window.resize(StationWindow::MinimumWidth, StationWindow::MinimumHeight);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    everyState(window);
    QTest::qWait(100); // laid out anew
    const QMap<QString, QString> translated = wordsOf(window);
    StationWindow::loadLanguage(QStringLiteral("en"));
    // A word the language spells as English does ("Pause") is one its translation gives.
    QTranslator ours;
    QVERIFY(ours.load(QStringLiteral(":/translations/tolvex-dfu-station_%1.qm").arg(language)));
    for (auto it = english.begin(); it != english.end(); ++it) {
        if (it.value().isEmpty())
            continue;
        const bool same = !ours.translate("StationWindow", qPrintable(it.value())).isEmpty();
        QVERIFY2(same || translated.value(it.key()) != it.value(),
            qPrintable(QStringLiteral("%1 untranslated: %2").arg(it.key(), it.value())));
    }
    for (StationTile *t : window.allTiles()) {
        for (const QLabel *l : t->findChildren<QLabel *>()) {
            if (l->text().isEmpty())
                continue;
            QVERIFY2(l->heightForWidth(l->width()) <= l->height(),
                qPrintable(QStringLiteral("%1 in %2: \"%3\" needs %4 px, has %5")
                               .arg(l->objectName(), t->label(), l->text())
                               .arg(l->heightForWidth(l->width()))
                               .arg(l->height())));
        }
    }
    for (const QPushButton *b : window.findChildren<QPushButton *>())
        QVERIFY2(b->fontMetrics().horizontalAdvance(b->text()) < b->width(), qPrintable(b->text()));
    const QString picture = qEnvironmentVariable("TOLVEX_STATION_PICTURE");
    if (!picture.isEmpty())
        window.grab().save(QString(picture).replace(QStringLiteral(".png"), QStringLiteral("-%1.png").arg(language)));
}

QTEST_MAIN(StationWindowTest)
#include "tst_stationwindow.moc"
