// tolvex-dfu station on simulated boards: boards arriving, unplugged, left plugged, replugged
// and refused; Ctrl-C once and twice; the line engineer's profile.

#include "CliTestSupport.h"

class StationCommandTest : public CliTestBase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpFolder(); }
    void cleanup() { tearDownFolder(); }

    void station_data();
    void station();
    void stationProfile_data();
    void stationProfile();
};

namespace {
enum StationCase {
    ArrivingWhileWriting,
    UnpluggedMidWrite,
    LeftPlugged,
    Replugged,
    AlreadyHolds,
    CtrlC,
    CtrlCTwice,
    Count,
    RefusedOnce,
    FileRewritten
};
}

void StationCommandTest::station_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("tally");
    QTest::newRow("boards arriving while others are written")
        << int(ArrivingWhileWriting) << 0 << "done 3, already up to date 0, refused 0, failed 0";
    // Pulled in the middle of the write: perhaps half-written, which "failed" would not say.
    QTest::newRow("one unplugged mid-write, the others finish")
        << int(UnpluggedMidWrite) << 1 << "done 2, already up to date 0, refused 0, failed 0, pulled 1";
    QTest::newRow("a board left plugged is updated once")
        << int(LeftPlugged) << 0 << "done 1, already up to date 0, refused 0, failed 0";
    QTest::newRow("plugged in again, it is a new arrival")
        << int(Replugged) << 0 << "done 1, already up to date 1, refused 0, failed 0";
    QTest::newRow("a board that already holds the image")
        << int(AlreadyHolds) << 0 << "done 0, already up to date 1, refused 0, failed 0";
    // The first Ctrl-C lets the running boards finish; the second stops them, and interrupted
    // boards are counted, and named in the closing list.
    QTest::newRow("Ctrl-C with boards in flight: they finish")
        << int(CtrlC) << 0 << "done 2, already up to date 0, refused 0, failed 0, pulled 0, interrupted 0";
    QTest::newRow("Ctrl-C twice with boards in flight: they stop")
        << int(CtrlCTwice) << 130
        << "done 0, already up to date 0, refused 0, failed 0, pulled 0, interrupted 2, in progress 0";
    QTest::newRow("--count 2 of three boards")
        << int(Count) << 0 << "done 2, already up to date 0, refused 0, failed 0";
    // Refused while it restarts back into its application, a board used to "arrive" again and
    // again, using up --count: it is reported once, and the next board is worked on.
    QTest::newRow("a refused board, and another plugged in later, --count 2")
        << int(RefusedOnce) << 1 << "done 1, already up to date 0, refused 1, failed 0";
    QTest::newRow("the file rebuilt between two boards: both get the bytes read")
        << int(FileRewritten) << 0 << "done 2, already up to date 0, refused 0, failed 0";
}

void StationCommandTest::station()
{
    QFETCH(int, kind);
    QFETCH(int, exit);
    QFETCH(QString, tally);
    const QByteArray image = firmware("V1.1");
    const QString path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", image);
    QVERIFY(writeFile(file(QStringLiteral("fw.dfu.first")), readFile(path)));
    const QString db = file(QStringLiteral("station.sqlite"));
    QStringList args{QStringLiteral("station"), path, QStringLiteral("--history"), db};
    QList<sim::Board> boards;
    std::atomic<bool> stop{false};
    std::atomic<int> signalsSent{0};
    const auto signal = [&] {
        stop = true;
        ++signalsSent;
    };
    QTimer watch;
    int replugs = 0;
    const int count = kind == UnpluggedMidWrite || kind == ArrivingWhileWriting                            ? 3
                      : kind == Count || kind == Replugged || kind == RefusedOnce || kind == FileRewritten ? 2
                                                                                                           : 1;
    for (int i = 0; i < (kind == ArrivingWhileWriting                 ? 1
                         : kind == UnpluggedMidWrite || kind == Count ? 3
                         : kind == CtrlC || kind == CtrlCTwice        ? 2
                                                                      : 1);
         ++i)
        boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    switch (kind) {
    case ArrivingWhileWriting:
        boards[0].dfu->setTiming(sim::Timing::Realistic); // still at work when the others come
        // Into ports of their own: a port a restarting board has left for a moment is still its.
        QTimer::singleShot(300, [&] { boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 5); });
        QTimer::singleShot(500, [&] { boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 6); });
        break;
    case UnpluggedMidWrite: {
        sim::DfuFaults unplug;
        unplug.disconnectAtBlock = 4;
        unplug.once = true;
        boards[1].dfu->setFaults(unplug);
        break;
    }
    case LeftPlugged:
        // Never reaches --count 2: stopped once the one board has long been done.
        args << QStringLiteral("--count") << QStringLiteral("2");
        watch.callOnTimeout([&] {
            if (boards[0].app->versionText() == "V1.1")
                QTimer::singleShot(1500, signal);
            if (boards[0].app->versionText() == "V1.1")
                watch.stop();
        });
        watch.start(50);
        break;
    case Replugged:
        watch.callOnTimeout([&] {
            if (boards[0].app->versionText() != "V1.1" || !boards[0].app->connected() || replugs)
                return;
            ++replugs;
            sim::World::instance().unplug(boards[0].app);
            // Away longer than a restart takes: the same board, plugged in again by a hand.
            QTimer::singleShot(2000, [&] { sim::World::instance().plug(boards[0].app); });
        });
        watch.start(50);
        break;
    case AlreadyHolds:
        QVERIFY(boards[0].dfu->writeMemory(
            1, Flash, reinterpret_cast<const uint8_t *>(image.constData()), size_t(image.size())));
        break;
    case CtrlC:
    case CtrlCTwice:
        for (const sim::Board &b : boards)
            b.dfu->setTiming(sim::Timing::Realistic);
        QTimer::singleShot(700, signal);
        if (kind == CtrlCTwice)
            QTimer::singleShot(800, signal);
        break;
    case RefusedOnce:
        sim::World::instance().unplug(boards[0].app);
        boards[0] = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, "Tolvex Loader", 1);
        QTimer::singleShot(2500, [&] { boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 2); });
        break;
    case FileRewritten:
        watch.callOnTimeout([&] {
            if (boards[0].app->versionText() != "V1.1" || boards.size() > 1)
                return;
            QVERIFY(writeFile(path + QStringLiteral(".new"),
                readFile(dfuFile(QStringLiteral("v2.dfu"), "fw_main_v2", firmware("V1.2")))));
            QVERIFY(QFile::remove(path) && QFile::rename(path + QStringLiteral(".new"), path));
            boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 2);
        });
        watch.start(20);
        break;
    default: break;
    }
    if (kind != LeftPlugged && kind != CtrlC && kind != CtrlCTwice)
        args << QStringLiteral("--count") << QString::number(count);
    const Run r = runCli(args, &stop, &signalsSent);
    QVERIFY2(r.exit == exit, qPrintable(r.out + r.err));
    QVERIFY2(r.out.contains(QStringLiteral("station: ") + tally), qPrintable(r.out + r.err));
    const QList<update::History::Record> rows = update::History(db).rows();
    switch (kind) {
    case ArrivingWhileWriting:
        for (const sim::Board &b : boards)
            QCOMPARE(b.app->versionText(), std::string("V1.1"));
        QCOMPARE(rows.size(), 3);
        break;
    case UnpluggedMidWrite:
        QCOMPARE(boards[0].app->versionText(), std::string("V1.1"));
        QCOMPARE(boards[2].app->versionText(), std::string("V1.1"));
        break;
    case LeftPlugged:
        QCOMPARE(rows.size(), 1);
        QCOMPARE(boards[0].dfu->erasedSectorCount(), 3u);
        break;
    case Replugged:
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[1].result, QStringLiteral("up to date"));
        QCOMPARE(rows[1].sectorsWritten, 0);
        break;
    case AlreadyHolds: {
        QCOMPARE(boards[0].dfu->erasedSectorCount(), 0u);
        // Sent back to its application; replugged, once more, as JSON lines in the schema.
        sim::World::instance().unplug(boards[0].app);
        sim::World::instance().plug(boards[0].app, 1);
        const Run json = runCli({QStringLiteral("station"), path, QStringLiteral("--count"), QStringLiteral("1"),
            QStringLiteral("-j"), QStringLiteral("--no-history")});
        QCOMPARE(json.exit, 0);
        QVERIFY2(schemaMismatch(json.out).isEmpty(), qPrintable(schemaMismatch(json.out)));
        QCOMPARE(jsonLines(json.out).last().value(QStringLiteral("upToDate")).toInt(), 1);
        break;
    }
    case CtrlC:
        QCOMPARE(rows.size(), 2);
        for (const sim::Board &b : boards)
            QCOMPARE(b.app->versionText(), std::string("V1.1"));
        break;
    case CtrlCTwice:
        QCOMPARE(rows.size(), 2);
        for (const update::History::Record &row : rows)
            QCOMPARE(row.result, QStringLiteral("interrupted"));
        // The boards an operator must see to, by port and serial.
        QVERIFY2(
            r.out.contains(QStringLiteral("station: not done:\n")) && r.out.count(QStringLiteral("interrupted\n")) == 2,
            qPrintable(r.out));
        break;
    case RefusedOnce:
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].result, QStringLiteral("refused"));
        QCOMPARE(rows[1].result, QStringLiteral("done"));
        QCOMPARE(boards[0].dfu->erasedSectorCount(), 0u);
        QCOMPARE(boards[1].app->versionText(), std::string("V1.1"));
        QVERIFY2(
            r.out.contains(QStringLiteral("station: not done:\n  1-1, serial TVX-0001: refused")), qPrintable(r.out));
        break;
    case FileRewritten:
        QCOMPARE(rows.size(), 2);
        for (const update::History::Record &row : rows)
            QCOMPARE(row.fileSha256, QString::fromLatin1(QCryptographicHash::hash(
                                         readFile(file(QStringLiteral("fw.dfu.first"))), QCryptographicHash::Sha256)
                                                             .toHex()));
        for (const sim::Board &b : boards)
            QCOMPARE(b.app->versionText(), std::string("V1.1"));
        QVERIFY2(r.err.contains(QStringLiteral("has changed on disk")), qPrintable(r.err));
        break;
    case Count:
        QCOMPARE(rows.size(), 2);
        QCOMPARE(int(std::count_if(
                     boards.begin(), boards.end(), [](const sim::Board &b) { return b.app->versionText() == "V1.1"; })),
            2);
        break;
    }
    for (const update::History::Record &row : rows)
        QCOMPARE(row.program, QStringLiteral("station"));
}

void StationCommandTest::stationProfile_data()
{
    QTest::addColumn<QString>("profile"); // %SHA% stands for the firmware's SHA-256
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("said");
    QTest::addColumn<int>("mode");
    const QString line =
        QStringLiteral("firmware = fw.dfu\nsha256 = %SHA%\nconfig = ../Config.ini\nhistory = h.sqlite\n"
                       "count = 1\noperator = ask\nlot = \"L-7, rework\"\n[ports]\n1-1 = A1\n");
    // Writable by a group: anyone in it changes the line.
    QTest::newRow("the line engineer's profile, not locked")
        << line << QStringList{"--operator", "Ana"} << 0 << "(not locked" << 0664;
    QTest::newRow("a profile root alone can write: locked")
        << line << QStringList{"--operator", "Ana"} << 0 << "station.conf (locked)" << 0644;
    QTest::newRow("a firmware file that is no longer the profile's")
        << QString(line).replace(QStringLiteral("%SHA%"), QString(64, QLatin1Char('0')))
        << QStringList{"--operator", "Ana"} << 3
        << "its SHA-256 is %SHA%, the profile's 0000000000000000000000000000000000000000000000000000000000000000"
        << 0644;
    QTest::newRow("another file given beside the profile")
        << line << QStringList{"--operator", "Ana", "other.dfu"} << 2 << "the profile sets FILE" << 0644;
    QTest::newRow("the operator the profile asks for, not given")
        << line << QStringList{} << 2 << "give --operator" << 0644;
    QTest::newRow("a misspelt key") << QStringLiteral("firmwre = fw.dfu\n") << QStringList{} << 2
                                    << "line 1: no setting firmwre" << 0644;
}

// A station started from its profile: paths from the profile's folder, the file it names and no
// other, the operator it asks for, and the lot and labels in every row.
void StationCommandTest::stationProfile()
{
    QFETCH(QString, profile);
    QFETCH(QStringList, args);
    QFETCH(int, exit);
    QFETCH(QString, said);
    QFETCH(int, mode);
    if (said.contains(QLatin1String("(locked)")) && geteuid() != 0)
        QSKIP("only root's own file is locked");
    QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("line")));
    const QString path = dfuFile(QStringLiteral("line/fw.dfu"), "fw_main_v2", firmware("V1.1"));
    const QString sha =
        QString::fromLatin1(QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha256).toHex());
    const QString conf = file(QStringLiteral("line/station.conf"));
    QVERIFY(writeFile(conf, profile.replace(QStringLiteral("%SHA%"), sha).toUtf8()));
    QCOMPARE(::chmod(QFile::encodeName(conf).constData(), mode_t(mode)), 0);
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 1);
    const Run r = runCli(QStringList{QStringLiteral("station"), QStringLiteral("--profile"), conf} + args);
    QVERIFY2(r.exit == exit, qPrintable(r.out + r.err));
    QVERIFY2((r.out + r.err).contains(said.replace(QStringLiteral("%SHA%"), sha)), qPrintable(r.out + r.err));
    if (exit != 0) {
        QCOMPARE(board.app->versionText(), std::string("V1.0"));
        return;
    }
    const QList<update::History::Record> rows = update::History(file(QStringLiteral("line/h.sqlite"))).rows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].result, QStringLiteral("done"));
    QCOMPARE(rows[0].operatorName, QStringLiteral("Ana"));
    QCOMPARE(rows[0].lot, QStringLiteral("L-7, rework"));
    QCOMPARE(rows[0].label, QStringLiteral("A1"));
}

QTEST_GUILESS_MAIN(StationCommandTest)
#include "tst_stationcommand.moc"
