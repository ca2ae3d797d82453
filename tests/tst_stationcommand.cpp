// tolvex-dfu station on simulated boards: boards arriving, unplugged, left plugged, replugged
// and refused; Ctrl-C once and twice; the line engineer's profile.

#include "CliTestSupport.h"

namespace {
struct Scene;
}

class StationCommandTest : public CliTestBase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpFolder(); }
    void cleanup() { tearDownFolder(); }

    void boardsArrivingWhileWriting();
    void boardUnpluggedMidWrite();
    void boardLeftPlugged();
    void boardReplugged();
    void boardAlreadyHoldsTheImage();
    void ctrlC_data();
    void ctrlC();
    void countOfThree();
    void boardRefusedOnce();
    void fileRewrittenBetweenBoards();
    void stationProfile_data();
    void stationProfile();

private:
    void setUp(Scene &s, int boards);
};

namespace {

// One `tolvex-dfu station` over simulated boards: the file, its history, and the boards plugged
// at the start; each scene adds its own world, then runs and reads what the station left.
struct Scene
{
    QByteArray image = firmware("V1.1");
    QString path;
    QString db;
    QStringList args;
    QList<sim::Board> boards;
    std::atomic<bool> stop{false};
    std::atomic<int> signalsSent{0};
    QTimer watch;
    Run run;

    // An operator's Ctrl-C.
    void signal()
    {
        stop = true;
        ++signalsSent;
    }
    // Runs the station, --count COUNT unless 0, and says whether it ended with EXIT and the
    // tally TALLY, its every row written as the station's.
    bool ends(int count, int exit, const QString &tally)
    {
        if (count)
            args << QStringLiteral("--count") << QString::number(count);
        run = runCli(args, &stop, &signalsSent);
        const QList<update::History::Record> all = rows();
        return run.exit == exit && run.out.contains(QStringLiteral("station: ") + tally)
               && std::all_of(all.begin(), all.end(),
                   [](const update::History::Record &r) { return r.program == QLatin1String("station"); });
    }
    QList<update::History::Record> rows() const { return update::History(db).rows(); }
    QString said() const { return run.out + run.err; }
    int boardsAt(const char *version) const
    {
        return int(std::count_if(
            boards.begin(), boards.end(), [&](const sim::Board &b) { return b.app->versionText() == version; }));
    }
};

} // namespace

// A scene of BOARDS boards at V1.0 and a file of V1.1.
void StationCommandTest::setUp(Scene &s, int boards)
{
    s.path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", s.image);
    s.db = file(QStringLiteral("station.sqlite"));
    s.args = QStringList{QStringLiteral("station"), s.path, QStringLiteral("--history"), s.db};
    for (int i = 0; i < boards; ++i)
        s.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0");
}

void StationCommandTest::boardsArrivingWhileWriting()
{
    Scene s;
    setUp(s, 1);
    s.boards[0].dfu->setTiming(sim::Timing::Realistic); // still at work when the others come
    // Into ports of their own: a port a restarting board has left for a moment is still its.
    QTimer::singleShot(300, [&] { s.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 5); });
    QTimer::singleShot(500, [&] { s.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 6); });
    QVERIFY2(s.ends(3, 0, "done 3, already up to date 0, refused 0, failed 0"), qPrintable(s.said()));
    QCOMPARE(s.boardsAt("V1.1"), 3);
    QCOMPARE(s.rows().size(), 3);
}

// Pulled in the middle of the write: perhaps half-written, which "failed" would not say.
void StationCommandTest::boardUnpluggedMidWrite()
{
    Scene s;
    setUp(s, 3);
    sim::DfuFaults unplug;
    unplug.disconnectAtBlock = 4;
    unplug.once = true;
    s.boards[1].dfu->setFaults(unplug);
    QVERIFY2(s.ends(3, 1, "done 2, already up to date 0, refused 0, failed 0, pulled 1"), qPrintable(s.said()));
    QCOMPARE(s.boards[0].app->versionText(), std::string("V1.1"));
    QCOMPARE(s.boards[2].app->versionText(), std::string("V1.1"));
}

// Never reaches --count 2: stopped once the one board has long been done, written once.
void StationCommandTest::boardLeftPlugged()
{
    Scene s;
    setUp(s, 1);
    s.args << QStringLiteral("--count") << QStringLiteral("2");
    s.watch.callOnTimeout([&] {
        if (s.boards[0].app->versionText() != "V1.1")
            return;
        QTimer::singleShot(1500, [&] { s.signal(); });
        s.watch.stop();
    });
    s.watch.start(50);
    QVERIFY2(s.ends(0, 0, "done 1, already up to date 0, refused 0, failed 0"), qPrintable(s.said()));
    QCOMPARE(s.rows().size(), 1);
    QCOMPARE(s.boards[0].dfu->erasedSectorCount(), 3u);
}

// Away longer than a restart takes, the same board plugged in again by a hand is a new arrival.
void StationCommandTest::boardReplugged()
{
    Scene s;
    setUp(s, 1);
    s.watch.callOnTimeout([&] {
        if (s.boards[0].app->versionText() != "V1.1" || !s.boards[0].app->connected())
            return;
        s.watch.stop();
        sim::World::instance().unplug(s.boards[0].app);
        QTimer::singleShot(2000, [&] { sim::World::instance().plug(s.boards[0].app); });
    });
    s.watch.start(50);
    QVERIFY2(s.ends(2, 0, "done 1, already up to date 1, refused 0, failed 0"), qPrintable(s.said()));
    const QList<update::History::Record> rows = s.rows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[1].result, QStringLiteral("up to date"));
    QCOMPARE(rows[1].sectorsWritten, 0);
}

void StationCommandTest::boardAlreadyHoldsTheImage()
{
    Scene s;
    setUp(s, 1);
    QVERIFY(s.boards[0].dfu->writeMemory(
        1, Flash, reinterpret_cast<const uint8_t *>(s.image.constData()), size_t(s.image.size())));
    QVERIFY2(s.ends(1, 0, "done 0, already up to date 1, refused 0, failed 0"), qPrintable(s.said()));
    QCOMPARE(s.boards[0].dfu->erasedSectorCount(), 0u);
    // Sent back to its application; replugged, once more, as JSON lines in the schema.
    sim::World::instance().unplug(s.boards[0].app);
    sim::World::instance().plug(s.boards[0].app, 1);
    const Run json = runCli({QStringLiteral("station"), s.path, QStringLiteral("--count"), QStringLiteral("1"),
        QStringLiteral("-j"), QStringLiteral("--no-history")});
    QCOMPARE(json.exit, 0);
    QVERIFY2(schemaMismatch(json.out).isEmpty(), qPrintable(schemaMismatch(json.out)));
    QCOMPARE(jsonLines(json.out).last().value(QStringLiteral("upToDate")).toInt(), 1);
}

void StationCommandTest::ctrlC_data()
{
    QTest::addColumn<int>("presses");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("tally");
    QTest::addColumn<QString>("result"); // of both boards' rows
    QTest::newRow("Ctrl-C with boards in flight: they finish")
        << 1 << 0 << "done 2, already up to date 0, refused 0, failed 0, pulled 0, interrupted 0"
        << "done";
    QTest::newRow("Ctrl-C twice with boards in flight: they stop")
        << 2 << 130 << "done 0, already up to date 0, refused 0, failed 0, pulled 0, interrupted 2, in progress 0"
        << "interrupted";
}

// The first Ctrl-C lets the running boards finish; the second stops them, and interrupted
// boards are counted, and named in the closing list for an operator to see to.
void StationCommandTest::ctrlC()
{
    QFETCH(int, presses);
    QFETCH(int, exit);
    QFETCH(QString, tally);
    QFETCH(QString, result);
    Scene s;
    setUp(s, 2);
    for (const sim::Board &b : s.boards)
        b.dfu->setTiming(sim::Timing::Realistic);
    for (int i = 0; i < presses; ++i)
        QTimer::singleShot(700 + 100 * i, [&] { s.signal(); });
    QVERIFY2(s.ends(0, exit, tally), qPrintable(s.said()));
    const QList<update::History::Record> rows = s.rows();
    QCOMPARE(rows.size(), 2);
    for (const update::History::Record &row : rows)
        QCOMPARE(row.result, result);
    const bool finished = result == QLatin1String("done");
    // An interrupted board may hold the new image already (stopped while it was checked or
    // sent back): only finished ones are known to.
    if (finished)
        QCOMPARE(s.boardsAt("V1.1"), 2);
    QCOMPARE(s.run.out.contains(QStringLiteral("station: not done:\n")), !finished);
    QCOMPARE(int(s.run.out.count(QStringLiteral("interrupted\n"))), finished ? 0 : 2);
}

void StationCommandTest::countOfThree()
{
    Scene s;
    setUp(s, 3);
    QVERIFY2(s.ends(2, 0, "done 2, already up to date 0, refused 0, failed 0"), qPrintable(s.said()));
    QCOMPARE(s.rows().size(), 2);
    QCOMPARE(s.boardsAt("V1.1"), 2);
}

// Refused while it restarts back into its application, a board used to "arrive" again and
// again, using up --count: it is reported once, and the next board is worked on.
void StationCommandTest::boardRefusedOnce()
{
    Scene s;
    setUp(s, 0);
    s.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, "Tolvex Loader", 1);
    QTimer::singleShot(2500, [&] { s.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 2); });
    QVERIFY2(s.ends(2, 1, "done 1, already up to date 0, refused 1, failed 0"), qPrintable(s.said()));
    const QList<update::History::Record> rows = s.rows();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].result, QStringLiteral("refused"));
    QCOMPARE(rows[1].result, QStringLiteral("done"));
    QCOMPARE(s.boards[0].dfu->erasedSectorCount(), 0u);
    QCOMPARE(s.boards[1].app->versionText(), std::string("V1.1"));
    QVERIFY2(s.run.out.contains(QStringLiteral("station: not done:\n  1-1, serial TVX-0001: refused")),
        qPrintable(s.run.out));
}

// The file rebuilt between two boards: both get the bytes the station read at its start.
void StationCommandTest::fileRewrittenBetweenBoards()
{
    Scene s;
    setUp(s, 1);
    const QByteArray first = readFile(s.path);
    s.watch.callOnTimeout([&] {
        if (s.boards[0].app->versionText() != "V1.1" || s.boards.size() > 1)
            return;
        QVERIFY(writeFile(s.path + QStringLiteral(".new"),
            readFile(dfuFile(QStringLiteral("v2.dfu"), "fw_main_v2", firmware("V1.2")))));
        QVERIFY(QFile::remove(s.path) && QFile::rename(s.path + QStringLiteral(".new"), s.path));
        s.boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 2);
    });
    s.watch.start(20);
    QVERIFY2(s.ends(2, 0, "done 2, already up to date 0, refused 0, failed 0"), qPrintable(s.said()));
    const QList<update::History::Record> rows = s.rows();
    QCOMPARE(rows.size(), 2);
    for (const update::History::Record &row : rows)
        QCOMPARE(
            row.fileSha256, QString::fromLatin1(QCryptographicHash::hash(first, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(s.boardsAt("V1.1"), 2);
    QVERIFY2(s.run.err.contains(QStringLiteral("has changed on disk")), qPrintable(s.run.err));
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
