// tolvex-dfu on simulated devices, run in-process: each command, both device families,
// every exit code, the JSON output parsed back, four devices at once with one failing, an
// interrupt during an upgrade, and refused files that erase nothing.

#include "CliTestSupport.h"

class TolvexDfuTest : public CliTestBase
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUpFolder(); }
    void cleanup() { tearDownFolder(); }

    void listsBothModes();
    void updateFromApplicationMode_data();
    void updateFromApplicationMode();
    void exitCodes_data();
    void exitCodes();
    void allDevicesOneFailing();
    void interruptLeavesDfuMode();
    void uploadEnterAndLeave();
    void bootLoaderNameDecides();
    void refusedBeforeTouching_data();
    void refusedBeforeTouching();
    void sharedSerialNamesBoth();
    void ctrlCWhileWaiting_data();
    void ctrlCWhileWaiting();
    void uploadNeverWritesThrough_data();
    void uploadNeverWritesThrough();
    void replacedDeviceIsNotWorkedOn();
    void outputForEachReader_data();
    void outputForEachReader();
    void signatures_data();
    void signatures();
    void keysFailClosed_data();
    void keysFailClosed();
    void onlyRegularFiles_data();
    void onlyRegularFiles();
    void deviceStringsAreData();
    void boardsThatComeBack_data();
    void boardsThatComeBack();
    void bothSerials();
    void noRollback_data();
    void noRollback();
    void dryRun_data();
    void dryRun();
    void filesForOtherUsbIds_data();
    void filesForOtherUsbIds();
    void waitsForABoardPluggedInLater();
    void gnuForms();
    void verboseAndHelp_data();
    void verboseAndHelp();
    void tableFits80Columns();
    void backupAndRestore();
    void fieldService_data();
    void fieldService();
    void backups_data();
    void backups();
    void restoreUnderPolicy();
};

void TolvexDfuTest::listsBothModes()
{
    const sim::Board app = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const sim::Board otter = plugBoard(sim::HidAppDeviceSpec::otterNine(), "V2.0");
    const sim::Board inDfu = plugBoard();
    sim::World::instance().unplug(inDfu.app);
    sim::World::instance().plug(inDfu.dfu, 7);

    const Run text = runCli({QStringLiteral("list")});
    QCOMPARE(text.exit, 0);
    QVERIFY2(text.out.contains(
                 QStringLiteral("1-1  \"Tolvex Demo Board\"  serial TVX-0001  16/64-byte reports  firmware V1.0")),
        qPrintable(text.out));
    QVERIFY(text.out.contains(
        QStringLiteral("\"OtterNINE Sensor\"  serial TVX-0009  8-byte reports  firmware (not reported)")));
    QVERIFY(text.out.contains(QStringLiteral("1-7  \"Tolvex Demo Board\"  serial TVX-0001  permitted image \"fw_main_v2\"")));
    QVERIFY(text.out.contains(QStringLiteral("alternate 1 \"Internal Flash\" /0x08000000/04*016Kg,01*064Kg,07*128Kg")));

    const Run json = runCli({QStringLiteral("list"), QStringLiteral("--json")});
    QCOMPARE(json.exit, 0);
    QVERIFY2(schemaMismatch(json.out).isEmpty(), qPrintable(schemaMismatch(json.out)));
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
    const QJsonArray apps = o.value(QStringLiteral("application")).toArray();
    QCOMPARE(apps.size(), 2);
    QCOMPARE(apps[0].toObject().value(QStringLiteral("version")).toString(), QStringLiteral("V1.0"));
    QCOMPARE(apps[1].toObject().value(QStringLiteral("family")).toString(), QStringLiteral("8-byte"));
    const QJsonObject dfu = o.value(QStringLiteral("dfu")).toArray().at(0).toObject();
    QCOMPARE(dfu.value(QStringLiteral("device")).toString(), QStringLiteral("1-7"));
    QCOMPARE(dfu.value(QStringLiteral("serial")).toString(), QStringLiteral("TVX-0001"));
    QCOMPARE(dfu.value(QStringLiteral("usb")).toString(), QStringLiteral("1209:2a17"));
    QVERIFY(apps[1].toObject().value(QStringLiteral("version")).isNull()); // not reported: null
    QCOMPARE(dfu.value(QStringLiteral("permitted")).toString(), QStringLiteral("fw_main_v2"));
    QCOMPARE(dfu.value(QStringLiteral("alternates")).toArray().size(), 2);
}

void TolvexDfuTest::updateFromApplicationMode_data()
{
    QTest::addColumn<bool>("otterNine");
    QTest::addColumn<QString>("shown");
    QTest::newRow("16/64-byte family") << false << "Tolvex Demo Board at 1-1: V1.0 -> V1.1";
    QTest::newRow("8-byte family") << true << "OtterNINE Sensor at 1-1: (not reported) -> (not reported)";
}

void TolvexDfuTest::updateFromApplicationMode()
{
    QFETCH(bool, otterNine);
    QFETCH(QString, shown);
    sim::HidAppDeviceSpec setup = otterNine ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec();
    // Config.ini lists a product by the name its boot loader reports: here the same as its application's.
    const sim::Board board = plugBoard(setup, "V1.0", 50, setup.product);
    const QByteArray image = firmware("V1.1");
    const QString path = dfuFile(QStringLiteral("fw.dfu"), otterNine ? "otter9_app" : "fw_main_v2", image);
    const Run r = runCli({QStringLiteral("update"), path});
    QCOMPARE(r.exit, 0);
    QVERIFY2(r.out.contains(shown), qPrintable(r.out + r.err));
    // Results on standard output; what happens on the way, for people, on standard error.
    QVERIFY(r.err.contains(QStringLiteral("entering DFU mode")));
    QVERIFY(r.err.contains(QStringLiteral("1-1: verify 100%")));
    QCOMPARE(r.out.count(QLatin1Char('\n')), 1);
    QCOMPARE(memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, Flash, image.size()), image);
    QCOMPARE(board.app->versionText(), std::string("V1.1"));
    QVERIFY(board.app->connected()); // back in its application

    // The same file again: nothing to erase; with --full, everything it touches is.
    const uint64_t erased = board.dfu->erasedSectorCount();
    QCOMPARE(runCli({QStringLiteral("update"), path}).exit, 0);
    QCOMPARE(board.dfu->erasedSectorCount(), erased);
    QCOMPARE(runCli({QStringLiteral("update"), path, QStringLiteral("--full")}).exit, 0);
    QCOMPARE(board.dfu->erasedSectorCount(), erased + 3);
}

void TolvexDfuTest::exitCodes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    const QStringList good{QStringLiteral("update"), QStringLiteral("GOOD")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("update"), QStringLiteral("GOOD"), QStringLiteral("--fast")}
                                    << 1 << 2 << "unknown option --fast";
    QTest::newRow("unknown option beside -jq") << QStringList{QStringLiteral("update"), QStringLiteral("GOOD"),
        QStringLiteral("-jq"), QStringLiteral("--bogus")}
                                               << 1 << 2 << "unknown option --bogus";
    QTest::newRow("unknown command, -j") << QStringList{QStringLiteral("frobnicate"), QStringLiteral("-j")} << 0 << 2
                                         << "unknown command frobnicate";
    QTest::newRow("USB ids that do not read") << QStringList{QStringLiteral("update"), QStringLiteral("GOOD"),
                                                             QStringLiteral("--usb=12345:1")}
                                              << 1 << 2 << "--usb takes VID:PID";
    QTest::newRow("several devices, none chosen") << good << 2 << 2 << "2 devices fit";
    QTest::newRow("no device with these USB ids") << good + QStringList{QStringLiteral("--usb"), QStringLiteral("1209:0001")}
                                                  << 1 << 4 << "fits the selection";
    QTest::newRow("no device") << good << 0 << 4 << "no Corvantis device is connected";
    QTest::newRow("no device at that place") << good + QStringList{QStringLiteral("--device"), QStringLiteral("9-9")}
                                             << 1 << 4 << "fits the selection";
    QTest::newRow("damaged file") << QStringList{QStringLiteral("update"), QStringLiteral("DAMAGED")} << 1 << 3
                                  << "no device was touched";
    QTest::newRow("unreadable file") << QStringList{QStringLiteral("update"), QStringLiteral("absent.dfu")} << 1 << 3
                                     << "is refused";
    QTest::newRow("image name not permitted") << QStringList{QStringLiteral("update"), QStringLiteral("OTHER")} << 1 << 3
                                              << "Config.ini permits \"fw_main_v2\"";
    QTest::newRow("no Config.ini") << good + QStringList{QStringLiteral("--config"), QStringLiteral("none.ini")} << 1
                                   << 3 << "cannot read none.ini";
    // Another writer's file: 4 KiB at the start of flash, then 2 KiB of other bytes at +2 KiB.
    // Said before the board is sent anywhere.
    QTest::newRow("elements that overlap") << QStringList{QStringLiteral("update"), QStringLiteral("OVERLAP")} << 1 << 3
                                           << "overlap at 0x08000800; no device was touched";
    QTest::newRow("two images of one memory and name, other data")
        << QStringList{QStringLiteral("update"), QStringLiteral("TWINS")} << 1 << 3
        << "images 0 and 1 are both for alternate 1 named \"fw_main_v2\", with other data";
    QTest::newRow("a port labelled twice, once with blanks") << QStringList{QStringLiteral("station"),
        QStringLiteral("GOOD"), QStringLiteral("--label"), QStringLiteral("1-1=Nest A"), QStringLiteral("--label"),
        QStringLiteral("1-1 = Nest B")} << 1 << 2 << "port 1-1 is labelled twice (\"Nest A\" and \"Nest B\")";
    // -1: one device in application mode, which this user may not open.
    QTest::newRow("no permission") << good << -1 << 1 << "install the udev rules";
}

void TolvexDfuTest::exitCodes()
{
    QFETCH(QStringList, args);
    QFETCH(int, devices);
    QFETCH(int, exit);
    QFETCH(QString, message);
    QList<sim::Board> boards;
    if (devices < 0) {
        boards << plugBoard();
        boards.last().app->setOpenDenied(true);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("HID: cannot open")));
    }
    for (int i = 0; i < devices; ++i) {
        boards << plugBoard();
        // In DFU mode already, so that a refusal is seen before any mode change.
        sim::World::instance().unplug(boards.last().app);
        sim::World::instance().plug(boards.last().dfu, uint8_t(3 + i));
    }
    const QByteArray data = firmware("V1.1");
    for (QString &a : args) {
        if (a == QLatin1String("GOOD"))
            a = dfuFile(QStringLiteral("good.dfu"), "fw_main_v2", data);
        else if (a == QLatin1String("OTHER"))
            a = dfuFile(QStringLiteral("other.dfu"), "otter9_app", data);
        else if (a == QLatin1String("DAMAGED")) {
            a = dfuFile(QStringLiteral("damaged.dfu"), "fw_main_v2", data);
            QByteArray bytes = readFile(a);
            bytes[100] = char(bytes[100] ^ 0x40);
            writeFile(a, bytes);
        } else if (a == QLatin1String("TWINS")) {
            std::vector<dfulib::Target> twins(2);
            for (int t = 0; t < 2; ++t) {
                twins[t].alternate = 1;
                twins[t].name = "fw_main_v2";
                twins[t].elements.emplace_back(Flash, std::vector<uint8_t>(size_t(1024), uint8_t(t)));
            }
            std::vector<uint8_t> bytes;
            QCOMPARE(dfulib::buildFile(0x1209, 0x2A17, 0x0200, twins, bytes), DfuStatus(DFU_OK));
            a = file(QStringLiteral("twins.dfu"));
            writeFile(a, QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size())));
        } else if (a == QLatin1String("OVERLAP")) {
            writeFile(a, overlappingDfuFile(Flash));
        }
    }
    const Run r = runCli(args);
    QCOMPARE(r.exit, exit);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    for (const sim::Board &b : boards)
        QCOMPARE(b.dfu->erasedSectorCount(), 0u);
    // Asked for JSON, however it was asked, every outcome gives its result object.
    if (args.contains(QStringLiteral("-jq")) || args.contains(QStringLiteral("-j"))) {
        QCOMPARE(schemaMismatch(r.out), QString());
        QCOMPARE(jsonLines(r.out).last()[QStringLiteral("exit")].toInt(), exit);
    }
}

void TolvexDfuTest::allDevicesOneFailing()
{
    QList<sim::Board> boards;
    for (int i = 0; i < 4; ++i)
        boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    sim::DfuFaults unplug;
    unplug.disconnectAtBlock = 5;
    boards[2].dfu->setFaults(unplug);
    const QByteArray image = firmware("V1.1");
    const QString path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", image);
    const Run r = runCli({QStringLiteral("update"), path, QStringLiteral("--all"), QStringLiteral("--json")});
    QCOMPARE(r.exit, 1);
    QVERIFY2(schemaMismatch(r.out).isEmpty(), qPrintable(schemaMismatch(r.out)));
    QMap<QString, QJsonObject> results;
    for (const QJsonObject &o : jsonLines(r.out)) {
        QVERIFY(!o.isEmpty()); // every line is one JSON object
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("result"))
            results.insert(o.value(QStringLiteral("device")).toString(), o);
    }
    QCOMPARE(results.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QJsonObject o = results.value(QStringLiteral("1-%1").arg(i + 1));
        // The third drops off the bus in the middle of the write: pulled, perhaps half-written.
        QCOMPARE(o.value(QStringLiteral("result")).toString(), i == 2 ? QStringLiteral("pulled") : QStringLiteral("done"));
        QCOMPARE(o.value(QStringLiteral("old")).toString(), QStringLiteral("V1.0"));
        QCOMPARE(o.value(QStringLiteral("new")).toString(), i == 2 ? QString() : QStringLiteral("V1.1"));
        if (i != 2)
            QCOMPARE(boards[i].app->versionText(), std::string("V1.1"));
    }
    // Each board its own time: the one that failed half-way took less than those that went on.
    for (int i : {0, 1, 3})
        QVERIFY(results.value(QStringLiteral("1-3")).value(QStringLiteral("seconds")).toDouble()
                < results.value(QStringLiteral("1-%1").arg(i + 1)).value(QStringLiteral("seconds")).toDouble());
    // ... and so does its history row: it ended when its own board did, not with the last one.
    QMap<QString, update::History::Record> rows;
    for (const update::History::Record &row :
        update::History(update::History::defaultPath(), update::History::Mode::Read).rows()) {
        if (row.file == QFileInfo(path).absoluteFilePath())
            rows.insert(row.location, row);
    }
    QCOMPARE(rows.size(), 4);
    for (const update::History::Record &row : rows) {
        const double span = double(row.started.msecsTo(row.ended)) / 1000.0;
        QVERIFY2(qAbs(span - row.seconds) < 0.1,
            qPrintable(
                QStringLiteral("%1: %2 s from start to end, %3 s taken").arg(row.location).arg(span).arg(row.seconds)));
    }
    for (const char *other : {"1-1", "1-2", "1-4"})
        QVERIFY(rows.value(QStringLiteral("1-3")).ended < rows.value(QLatin1String(other)).ended);

    // The same without --json: a summary table, one row per device.
    for (sim::Board &b : boards) {
        b.dfu->setFaults(sim::DfuFaults());
        if (!b.app->connected() && sim::World::instance().presence(b.dfu) == sim::World::Presence::Absent)
            sim::World::instance().plug(b.dfu, 3);
    }
    const Run table = runCli({QStringLiteral("update"), path, QStringLiteral("--all")});
    QCOMPARE(table.exit, 0);
    QVERIFY2(table.out.contains(QStringLiteral("RESULT")), qPrintable(table.out));
    QCOMPARE(table.out.count(QStringLiteral(" done ")), 4);
}

void TolvexDfuTest::interruptLeavesDfuMode()
{
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    board.dfu->setTiming(sim::Timing::Realistic); // long enough to be stopped mid-way
    const QByteArray image = firmware("V1.1");
    const QString path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", image);
    std::atomic<bool> interrupted{false};
    QTimer watch;
    // Ctrl-C once the first block of the image is in: in the middle of writing it.
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, Flash, 64) == image.left(64))
            interrupted = true;
    });
    watch.start(5);
    const Run stopped = runCli({QStringLiteral("update"), path}, &interrupted);
    watch.stop();
    QCOMPARE(stopped.exit, 130);
    QVERIFY2(stopped.err.contains(QStringLiteral("stays in DFU mode")), qPrintable(stopped.err));
    QVERIFY(memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, Flash, image.size()) != image);
    QTRY_VERIFY(sim::World::instance().presence(board.dfu) == sim::World::Presence::Present);
    QVERIFY(!board.app->connected());

    board.dfu->setTiming(sim::Timing::Instant);
    const Run again = runCli({QStringLiteral("update"), path});
    QCOMPARE(again.exit, 0);
    QVERIFY2(again.out.contains(QStringLiteral("? -> V1.1")), qPrintable(again.out));
    QCOMPARE(memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, Flash, image.size()), image);
}

void TolvexDfuTest::uploadEnterAndLeave()
{
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.3");
    const QString out = file(QStringLiteral("read-back.dfu"));
    const Run inApp = runCli({QStringLiteral("upload"), out});
    QCOMPARE(inApp.exit, 4);
    QVERIFY(inApp.err.contains(QStringLiteral("enter-dfu")));

    const Run entered = runCli({QStringLiteral("enter-dfu")});
    QCOMPARE(entered.exit, 0);
    QVERIFY2(entered.out.contains(QStringLiteral("1-1: in DFU mode")), qPrintable(entered.out + entered.err));

    const Run read = runCli({QStringLiteral("upload"), out});
    QCOMPARE(read.exit, 0);
    const QByteArray bytes = readFile(out);
    dfulib::FileView view;
    QCOMPARE(
        dfulib::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view), DFU_OK);
    QCOMPARE(view.targets.size(), size_t(1));
    QCOMPARE(view.targets[0].alternate, quint8(1));
    const dfulib::ElementView &e = view.targets[0].elements.at(0);
    QCOMPARE(memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, e.address, int(e.size)),
             QByteArray(reinterpret_cast<const char *>(e.data), int(e.size)));

    const Run left = runCli({QStringLiteral("leave"), QStringLiteral("-j")});
    QCOMPARE(left.exit, 0);
    QVERIFY2(schemaMismatch(left.out).isEmpty(), qPrintable(schemaMismatch(left.out)));
    const QJsonObject o = jsonLines(left.out).last();
    QCOMPARE(o.value(QStringLiteral("mode")).toString(), QStringLiteral("application"));
    QCOMPARE(o.value(QStringLiteral("version")).toString(), QStringLiteral("V1.3"));
}

// The application says "Tolvex Demo Board"; the boot loader, to which Config.ini permits
// otter9_app, "OtterNINE Sensor": Config.ini is read by the boot loader's name, and the board,
// refused, is sent back to its application untouched.
void TolvexDfuTest::bootLoaderNameDecides()
{
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, "OtterNINE Sensor");
    const Run r =
        runCli({QStringLiteral("update"), dfuFile(QStringLiteral("good.dfu"), "fw_main_v2", firmware("V1.1"))});
    QCOMPARE(r.exit, 3);
    QVERIFY2(r.err.contains(QStringLiteral("and it was sent back to its application")), qPrintable(r.err));
    QCOMPARE(b.dfu->erasedSectorCount(), 0u);
    // Back in its application (a simulated board arrives when the bus is looked at).
    QTRY_COMPARE(update::appDevices().size(), 1);
    QVERIFY(b.app->connected());
    QCOMPARE(b.app->versionText(), std::string("V1.0"));
}

void TolvexDfuTest::refusedBeforeTouching_data()
{
    QTest::addColumn<QByteArray>("imageName");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    QTest::newRow("a file no product may take")
        << QByteArray("nobody_app") << QStringList() << 3 << "no device was touched";
    QTest::newRow("--serial \"\" selects nothing")
        << QByteArray("fw_main_v2") << QStringList{"--serial", ""} << 2 << "an empty --serial";
    QTest::newRow("--device \"\" selects nothing")
        << QByteArray("fw_main_v2") << QStringList{"--device", ""} << 2 << "an empty --device";
}

// Refused before the board is touched: not even asked for its version.
void TolvexDfuTest::refusedBeforeTouching()
{
    QFETCH(QByteArray, imageName);
    QFETCH(QStringList, options);
    QFETCH(int, exit);
    QFETCH(QString, message);
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const Run r = runCli(
        QStringList{QStringLiteral("update"), dfuFile(QStringLiteral("f.dfu"), imageName, firmware("V1.1"))} + options);
    QCOMPARE(r.exit, exit);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QVERIFY(b.app->requests().empty());
    QVERIFY(b.app->connected());
    QCOMPARE(b.dfu->erasedSectorCount(), 0u);
}

// Two boards in DFU mode report one serial: --serial cannot tell them apart, and says so,
// naming both.
void TolvexDfuTest::sharedSerialNamesBoth()
{
    QList<sim::Board> boards;
    for (int i = 0; i < 2; ++i) {
        boards << plugBoard();
        sim::World::instance().unplug(boards.last().app);
        sim::World::instance().plug(boards.last().dfu, uint8_t(3 + i));
    }
    const Run r = runCli({QStringLiteral("update"), dfuFile(QStringLiteral("good.dfu"), "fw_main_v2", firmware("V1.1")),
        QStringLiteral("--serial"), QStringLiteral("TVX-0001")});
    QCOMPARE(r.exit, 2);
    QVERIFY2(r.err.contains(QStringLiteral("2 devices report the serial TVX-0001")), qPrintable(r.err));
    QCOMPARE(r.err.count(QStringLiteral("Tolvex Demo Board at ")), 2);
    for (const sim::Board &b : boards)
        QCOMPARE(b.dfu->erasedSectorCount(), 0u);
}

void TolvexDfuTest::ctrlCWhileWaiting_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("restartMs"); // the board's, on its way to DFU mode
    QTest::addColumn<int>("pressedMs"); // after the start; 0: pressed already
    QTest::addColumn<QString>("message");
    // The board takes its time to restart; Ctrl-C comes while it is awaited.
    QTest::newRow("enter-dfu, while waiting for the board") << "enter-dfu" << 3000 << 300 << "interrupted";
    QTest::newRow("list") << "list" << 50 << 0 << "";
}

void TolvexDfuTest::ctrlCWhileWaiting()
{
    QFETCH(QString, command);
    QFETCH(int, restartMs);
    QFETCH(int, pressedMs);
    QFETCH(QString, message);
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0", restartMs);
    std::atomic<bool> interrupted{pressedMs == 0};
    if (pressedMs)
        QTimer::singleShot(pressedMs, [&] { interrupted = true; });
    const Run r = runCli({command}, &interrupted);
    QCOMPARE(r.exit, 130);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(b.dfu->erasedSectorCount(), 0u);
}

void TolvexDfuTest::uploadNeverWritesThrough_data()
{
    QTest::addColumn<QString>("backup"); // what is there before: "file", "link", "dangling link"
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("message");
    QTest::newRow("over an existing file") << "file" << false << 3 << "--force replaces it";
    QTest::newRow("over an existing file, --force") << "file" << true << 0 << "";
    // Another user's link where the backup goes: never written through.
    QTest::newRow("onto a dangling link") << "dangling link" << false << 3 << "is a symbolic link";
    QTest::newRow("onto a link to a file") << "link" << false << 3 << "is a symbolic link";
    QTest::newRow("onto a link, --force: the link replaced") << "link" << true << 0 << "";
}

// upload never writes over a file unasked, nor through a link, not even with --force: that
// replaces the link itself; the link's target is never written or made.
void TolvexDfuTest::uploadNeverWritesThrough()
{
    QFETCH(QString, backup);
    QFETCH(bool, force);
    QFETCH(int, exit);
    QFETCH(QString, message);
    const sim::Board b = plugBoard();
    sim::World::instance().unplug(b.app);
    sim::World::instance().plug(b.dfu);
    const QByteArray existing("keep me");
    const QString path = file(QStringLiteral("backup.dfu")), target = file(QStringLiteral("target.dfu"));
    const bool link = backup != QLatin1String("file");
    if (backup != QLatin1String("dangling link"))
        QVERIFY(writeFile(link ? target : path, existing));
    if (link)
        QVERIFY(QFile::link(target, path));
    QStringList args{QStringLiteral("upload"), path};
    if (force)
        args << QStringLiteral("--force");
    const Run r = runCli(args);
    QCOMPARE(r.exit, exit);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(b.dfu->erasedSectorCount(), 0u);
    QCOMPARE(QFileInfo(path).isSymLink(), link && !force);
    if (force)
        QVERIFY(readFile(path).size() > 1024 * 1024);
    else if (!link)
        QCOMPARE(readFile(path), existing);
    if (link) {
        QCOMPARE(QFileInfo::exists(target), backup == QLatin1String("link"));
        if (backup == QLatin1String("link"))
            QCOMPARE(readFile(target), existing);
    }
}

// A board swapped for another on the same port after it was opened is not worked on with
// what was learned of the first.
void TolvexDfuTest::replacedDeviceIsNotWorkedOn()
{
    const sim::Board first = plugBoard();
    sim::World::instance().unplug(first.app);
    sim::World::instance().plug(first.dfu, 5);
    const QList<update::Device> present = update::dfuDevices();
    QCOMPARE(present.size(), 1);
    DfuLink link;
    QVERIFY(link.open(present.first().path, present.first().busAddress).connected());
    sim::World::instance().unplug(first.dfu);
    const sim::Board second = plugBoard();
    sim::World::instance().unplug(second.app);
    sim::World::instance().plug(second.dfu, 5);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not the one connected"));
    const DfuLink::Launch l = link.launchDownload(
        *readDfuFile(dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"))), QStringLiteral("fw_main_v2"));
    QCOMPARE(l.outcome.kind(), Outcome::Kind::Failed);
    QVERIFY2(l.outcome.message().contains(QStringLiteral("another device")), qPrintable(l.outcome.message()));
    QCOMPARE(second.dfu->erasedSectorCount(), uint64_t(0));
}

void TolvexDfuTest::outputForEachReader_data()
{
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<bool>("json");
    QTest::newRow("a pipe") << false << false;
    QTest::newRow("a terminal") << true << false;
    QTest::newRow("JSON") << false << true;
}

// Progress of two phases in steps of 5 %: a pipe gets a line per phase and per 10 %, JSON an
// object for each of those, a terminal one line rewritten in place and cleared before a result.
void TolvexDfuTest::outputForEachReader()
{
    QFETCH(bool, terminal);
    QFETCH(bool, json);
    QString out, err;
    cli::Io io;
    io.out = [&](const QString &t) { out += t; };
    io.err = [&](const QString &t) { err += t; };
    io.terminal = terminal;
    cli::Output output(io, json);
    // Each phase takes 2 s of the operation's time: the rate is the phase's own.
    for (const char *phase : {"erase", "write"}) {
        for (int percent = 0; percent <= 100; percent += 5)
            output.progress(QStringLiteral("1-1"), QLatin1String(phase), percent, quint32(percent * 1024), 100 * 1024,
                (qstrcmp(phase, "write") == 0 ? 2000 : 0) + percent * 20);
    }
    output.finished(QStringLiteral("1-1"));
    output.line(QStringLiteral("1-1: done"));
    output.problem(QStringLiteral("a problem"));
    QVERIFY(err.endsWith(QStringLiteral("tolvex-dfu: a problem\n")));
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QStringList progressLines = err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (json) {
        QCOMPARE(lines.size(), 2 * 11 + 1);
        const QList<QJsonObject> events = jsonLines(lines.mid(0, 22).join(QLatin1Char('\n')));
        QCOMPARE(events.first().value(QStringLiteral("phase")).toString(), QStringLiteral("erase"));
        QCOMPARE(events.last().value(QStringLiteral("percent")).toInt(), 100);
        for (const QJsonObject &e : events)
            QCOMPARE(e.value(QStringLiteral("event")).toString(), QStringLiteral("progress"));
    } else if (!terminal) {
        // Results alone on standard output; progress on standard error.
        QCOMPARE(out, QStringLiteral("1-1: done\n"));
        QCOMPARE(progressLines.size(), 2 * 11 + 1);
        QCOMPARE(progressLines[0], QStringLiteral("1-1: erase 0%"));
        QCOMPARE(progressLines[21], QStringLiteral("1-1: write 100%"));
        QVERIFY(!err.contains(QLatin1Char('\r')));
    } else {
        QCOMPARE(out, QStringLiteral("1-1: done\n"));
        QCOMPARE(progressLines.size(), 1); // one line rewritten in place, cleared for the problem
        QVERIFY(err.contains(QStringLiteral("\r\033[K1-1  write 100%")));
        QVERIFY2(err.contains(QStringLiteral("write 100%  100/100 KiB  50 KiB/s")), qPrintable(err));
        QVERIFY(err.contains(QStringLiteral("\r\033[Ktolvex-dfu: a problem\n")));
    }
}

void TolvexDfuTest::signatures_data()
{
    using namespace signing;
    QTest::addColumn<int>("signing");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("said");
    QTest::newRow("no key installed, file not signed") << int(NoKeysUnsigned) << 0 << "fw.dfu: not signed";
    QTest::newRow("signed by a trusted key, prehashed") << int(Trusted) << 0 << "\"timestamp:1 file:fw.dfu\"), trusted";
    QTest::newRow("signed by a trusted key, legacy") << int(TrustedLegacy) << 0 << ", trusted";
    QTest::newRow("signed by an unknown key") << int(UnknownKey) << 3 << "signature by an unknown key";
    QTest::newRow("the signature of another file") << int(OtherFile) << 3 << "does not match the file";
    QTest::newRow("a byte of the file changed") << int(ByteChanged) << 3 << "does not match the file";
    QTest::newRow("keys installed, no signature") << int(KeysButUnsigned) << 3 << "no signature file";
}

// Signed files through the command: refused before the board leaves its application, and
// nothing erased; accepted ones written.
void TolvexDfuTest::signatures()
{
    using namespace signing;
    QFETCH(int, signing);
    QFETCH(int, exit);
    QFETCH(QString, said);
    QTemporaryDir keys;
    const TestKey maker, stranger;
    if (signing != NoKeysUnsigned)
        QVERIFY(writeFile(keys.filePath(QStringLiteral("maker.pub")), maker.publicFile()));
    dfulib::setTrustedKeyFolders({keys.path().toStdString()});
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const QByteArray image = firmware("V1.1");
    const QString path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", image);
    QVERIFY(signFileAs(signing::Signing(signing), maker, stranger, path));
    const Run r = runCli({QStringLiteral("update"), path});
    dfulib::setTrustedKeyFolders({});
    QCOMPARE(r.exit, exit);
    QVERIFY2((r.out + r.err).contains(said), qPrintable(r.out + r.err));
    if (exit == 0) {
        QCOMPARE(board.app->versionText(), std::string("V1.1"));
        return;
    }
    QVERIFY(r.err.contains(QStringLiteral("no device was touched")));
    QVERIFY(board.app->requests().empty()); // still in its application, not even asked
    QCOMPARE(board.dfu->erasedSectorCount(), 0u);
}

void TolvexDfuTest::keysFailClosed_data()
{
    // What the key folder holds, as NAME:WHAT, WHAT being the maker's key ("maker"), the same
    // after a byte-order mark ("bom"), another key bearing the maker's id ("impostor"), a link
    // to nothing ("link"), a named pipe ("fifo") or a line of text ("text").
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("folder"); // the folder given, within the key folder; empty: itself
    QTest::addColumn<bool>("unlistable"); // the folder's mode lets nobody list it
    QTest::addColumn<bool>("signedFile"); // the file is signed by the maker
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("said");
    QTest::addColumn<QStringList>("notSaid");
    // The maker's key is installed beside it, and the file is the maker's: one broken key
    // still stops everything, so that a half-installed policy is noticed, not bypassed.
    QTest::newRow("an installed key that cannot be read")
        << QStringList{"maker.pub:maker", "broken.pub:link"} << QString() << false << true << 3
        << QStringLiteral("broken.pub:") << QStringList();
    // The only key does not load: before, that meant "no keys" and unsigned files went through.
    QTest::newRow("a key file that does not load") << QStringList{"bom.pub:bom"} << QString() << false << false << 3
                                                   << QStringLiteral("bom.pub:") << QStringList();
    QTest::newRow("a key not named .pub") << QStringList{"maker.key:maker"} << QString() << false << false << 3
                                          << QStringLiteral("must be named NAME.pub") << QStringList();
    QTest::newRow("a key folder that is no folder") << QStringList{"plain:text"} << QStringLiteral("plain") << false
                                                    << false << 3 << QStringLiteral("not a folder") << QStringList();
    QTest::newRow("a key folder that cannot be listed") << QStringList{"maker.pub:maker"} << QString() << true << false
                                                        << 3 << QStringLiteral("cannot be listed") << QStringList();
    QTest::newRow("a named pipe as a key") << QStringList{"maker.pub:maker", "pipe.pub:fifo"} << QString() << false
                                           << true << 3 << QStringLiteral("named pipe") << QStringList();
    // Another key that bears the maker's id, sorted after it: it is tried too, and fails.
    QTest::newRow("two keys with one id: each is tried")
        << QStringList{"maker.pub:maker", "z-impostor.pub:impostor"} << QString() << false << true << 0
        << QStringLiteral(", trusted") << QStringList();
    QTest::newRow("no keys: a signature is not checked, and not shown as trusted")
        << QStringList() << QString() << false << true << 0 << QStringLiteral("not checked (no trusted keys installed)")
        << QStringList{"trusted\"", ", trusted"};
}

void TolvexDfuTest::keysFailClosed()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, folder);
    QFETCH(bool, unlistable);
    QFETCH(bool, signedFile);
    QFETCH(int, exit);
    QFETCH(QString, said);
    QFETCH(QStringList, notSaid);
    if (unlistable && geteuid() == 0)
        QSKIP("root lists every folder");
    QTemporaryDir keys;
    const TestKey maker, stranger;
    TestKey impostor = stranger;
    std::memcpy(impostor.keyId, maker.keyId, sizeof maker.keyId);
    for (const QString &entry : entries) {
        const QString path = keys.filePath(entry.section(QLatin1Char(':'), 0, 0));
        const QString what = entry.section(QLatin1Char(':'), 1);
        if (what == QLatin1String("link"))
            QVERIFY(QFile::link(keys.filePath(QStringLiteral("gone")), path));
        else if (what == QLatin1String("fifo"))
            QCOMPARE(mkfifo(qPrintable(path), 0600), 0);
        else
            QVERIFY(writeFile(path, what == QLatin1String("maker")      ? maker.publicFile()
                                    : what == QLatin1String("bom")      ? "\xEF\xBB\xBF" + maker.publicFile()
                                    : what == QLatin1String("impostor") ? impostor.publicFile()
                                                                        : QByteArray("not a folder")));
    }
    if (unlistable)
        QVERIFY(QFile::setPermissions(keys.path(), QFileDevice::WriteOwner));
    const std::string folders = (folder.isEmpty() ? keys.path() : keys.filePath(folder)).toStdString();
    dfulib::setTrustedKeyFolders({folders});
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const QString path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"));
    QVERIFY(signFileAs(signedFile ? signing::Trusted : signing::KeysButUnsigned, maker, stranger, path));
    const Run r = runCli({QStringLiteral("update"), path});
    dfulib::setTrustedKeyFolders({});
    QFile::setPermissions(keys.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(r.exit, exit);
    QVERIFY2((r.out + r.err).contains(said), qPrintable(r.out + r.err));
    for (const QString &text : notSaid)
        QVERIFY2(!(r.out + r.err).contains(text), qPrintable(r.out + r.err));
    if (exit != 0) {
        QVERIFY2(r.err.contains(QStringLiteral("cannot be used")), qPrintable(r.err));
        QCOMPARE(board.dfu->erasedSectorCount(), 0u);
    }
}

void TolvexDfuTest::onlyRegularFiles_data()
{
    QTest::addColumn<QString>("special"); // made in the test's folder: a named pipe, or a link
    QTest::addColumn<bool>("toZero"); // a link to /dev/zero rather than a pipe
    QTest::addColumn<QStringList>("command"); // FW: the firmware; SPECIAL: the file above
    QTest::addColumn<bool>("keys"); // trusted keys installed, so that the signature is read
    QTest::addColumn<QString>("said");
    QTest::newRow("a named pipe as FILE.dfu.minisig")
        << QStringLiteral("fw.dfu.minisig") << false << QStringList{"update", "FW"} << true
        << QStringLiteral("fw.dfu.minisig: it is a named pipe");
    QTest::newRow("a named pipe as FILE.dfu") << QStringLiteral("pipe.dfu") << false << QStringList{"update", "SPECIAL"}
                                              << false << QStringLiteral("it is a named pipe");
    QTest::newRow("/dev/zero as FILE.dfu, through a link")
        << QStringLiteral("zero.dfu") << true << QStringList{"update", "SPECIAL"} << false
        << QStringLiteral("it is a device");
    QTest::newRow("a named pipe as Config.ini")
        << QStringLiteral("pipe.ini") << false << QStringList{"update", "FW", "--config", "SPECIAL"} << false
        << QStringLiteral("pipe.ini: it is a named pipe");
}

// Each is refused at once: opening a pipe would wait for a writer, and /dev/zero never ends.
void TolvexDfuTest::onlyRegularFiles()
{
    QFETCH(QString, special);
    QFETCH(bool, toZero);
    QFETCH(QStringList, command);
    QFETCH(bool, keys);
    QFETCH(QString, said);
    const TestKey maker;
    QTemporaryDir keyFolder;
    QVERIFY(writeFile(keyFolder.filePath(QStringLiteral("maker.pub")), maker.publicFile()));
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const QString firmwarePath = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"));
    const QString specialPath = file(special);
    if (toZero)
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), specialPath));
    else
        QCOMPARE(mkfifo(qPrintable(specialPath), 0600), 0);
    if (keys)
        dfulib::setTrustedKeyFolders({keyFolder.path().toStdString()});
    for (QString &word : command)
        word = word == QLatin1String("FW") ? firmwarePath : word == QLatin1String("SPECIAL") ? specialPath : word;
    const Run r = runCli(command);
    dfulib::setTrustedKeyFolders({});
    QCOMPARE(r.exit, 3);
    QVERIFY2(r.err.contains(said), qPrintable(r.err));
    QVERIFY(board.app->requests().empty());
    QCOMPARE(board.dfu->erasedSectorCount(), 0u);
}

// A board whose strings hold terminal escapes, C1 controls and bytes that are no UTF-8: every
// text output shows them escaped, JSON carries them as they are, CSV starts no formula, and a
// serial longer than 49 bytes is read and selected whole.
void TolvexDfuTest::deviceStringsAreData()
{
    sim::HidAppDeviceSpec app;
    app.product = "Evil\x1b]0;owned\x07"
                  "Board";
    app.serial = "APP\x1b[2J\x9b\xc3\x28";
    sim::DfuDeviceSpec boot = sim::DfuDeviceSpec::twoAlternates();
    boot.serial = "=HYPERLINK(\"http://x\")" + std::string(100, 'S'); // 120 characters
    const sim::Board board = sim::makeBoard(app, boot, 50);
    board.app->setVersionText("\x1b[1AV1.0");
    sim::World::instance().plug(board.app, 2);
    const QString good = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"));
    const QString history = file(QStringLiteral("h.sqlite"));
    const auto raw = [](const QString &text) {
        return std::any_of(
            text.begin(), text.end(), [](QChar c) { return c == QChar(0x1b) || c == QChar(0x9b) || c == QChar(7); });
    };

    const Run listed = runCli({QStringLiteral("list")});
    QVERIFY2(!raw(listed.out + listed.err), qPrintable(listed.out));
    QVERIFY2(listed.out.contains(QStringLiteral("Evil\\x1b]0;owned\\x07Board")), qPrintable(listed.out));
    QVERIFY2(listed.out.contains(QStringLiteral("\\x1b[1AV1.0")), qPrintable(listed.out));
    const Run json = runCli({QStringLiteral("list"), QStringLiteral("--json")});
    const QJsonObject shown = jsonLines(json.out).value(0)[QStringLiteral("application")].toArray()[0].toObject();
    QCOMPARE(shown[QStringLiteral("product")].toString(), QString::fromLatin1(app.product.c_str()));
    QCOMPARE(shown[QStringLiteral("serial")].toString(), QString::fromLatin1(app.serial.c_str()));

    const Run updated = runCli({QStringLiteral("update"), good, QStringLiteral("--history"), history});
    QCOMPARE(updated.exit, 0);
    QVERIFY2(!raw(updated.out + updated.err), qPrintable(updated.out + updated.err));
    QVERIFY2(updated.out.contains(QStringLiteral("\\x1b[1AV1.0 -> V1.1")), qPrintable(updated.out));

    // In DFU mode now, by the whole of its boot loader's serial.
    QVERIFY(runCli({QStringLiteral("enter-dfu")}).exit == 0);
    const Run selected = runCli({QStringLiteral("update"), good, QStringLiteral("--serial"),
        QString::fromStdString(boot.serial), QStringLiteral("--stay"), QStringLiteral("--history"), history});
    QVERIFY2(selected.exit == 0, qPrintable(selected.err));

    const Run table = runCli({QStringLiteral("history"), QStringLiteral("--history"), history});
    QVERIFY2(!raw(table.out + table.err), qPrintable(table.out));
    QVERIFY2(table.out.contains(QStringLiteral("\\x1b[1AV1.0")), qPrintable(table.out));
    const Run csv = runCli({QStringLiteral("history"), QStringLiteral("--csv"), QStringLiteral("--history"), history});
    QVERIFY2(csv.out.contains(QStringLiteral(",\"'=HYPERLINK(\"\"http://x\"\")")), qPrintable(csv.out));
    QVERIFY(!csv.out.contains(QStringLiteral(",=HYPERLINK")));
}

void TolvexDfuTest::boardsThatComeBack_data()
{
    QTest::addColumn<bool>("intoDfuMode"); // the restart the hand waits for: into the boot loader
    QTest::addColumn<bool>("swapped"); // another board put in its place; else it comes back silent
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("said");
    QTest::newRow("another board put in while it restarts into its application")
        << false << true << "replaced"
        << "another board came back at 1-3 (serial SN-B, not SN-A)";
    // The history knows the boot loader of SN-A: the board in DFU mode there now is not it.
    QTest::newRow("another board in DFU mode put in while it restarts into its boot loader")
        << true << true << "replaced"
        << "another board came back at 1-3 (its boot loader reports serial BOOT-B, where SN-A's always reported ";
    QTest::newRow("back in its application, but it does not answer") << false << false << "failed"
                                                                     << "back in its application it does not answer";
}

void TolvexDfuTest::boardsThatComeBack()
{
    QFETCH(bool, intoDfuMode);
    QFETCH(bool, swapped);
    QFETCH(QString, result);
    QFETCH(QString, said);
    const auto board = [](const char *serial, const char *boot) {
        sim::HidAppDeviceSpec app;
        app.serial = serial;
        sim::DfuDeviceSpec dfu = sim::DfuDeviceSpec::twoAlternates();
        dfu.serial = boot;
        sim::Board b = sim::makeBoard(app, dfu, 300);
        b.app->setVersionText("V1.0");
        return b;
    };
    const sim::Board a = board("SN-A", "BOOT-A"), b = board("SN-B", "BOOT-B");
    sim::World::instance().plug(a.app, 3);
    const QString history = file(QStringLiteral("h.sqlite"));
    {
        // An earlier update of SN-A: its boot loader's serial is known.
        update::History h(history);
        update::History::Record earlier;
        earlier.program = QStringLiteral("tolvex-dfu");
        earlier.serial = QStringLiteral("SN-A");
        earlier.bootSerial = QStringLiteral("BOOT-A");
        earlier.location = QStringLiteral("1-3");
        earlier.result = QStringLiteral("done");
        QCOMPARE(h.put(earlier).message(), QString());
    }
    QTimer hand;
    bool done = false;
    hand.callOnTimeout([&] {
        auto &world = sim::World::instance();
        // The board's side that is on its way: its boot loader, or its application once written.
        const auto side = [&](const sim::Board &x) -> std::shared_ptr<sim::UsbDeviceModel> {
            if (intoDfuMode)
                return x.dfu;
            return x.app;
        };
        if (done || world.presence(side(a)) != sim::World::Presence::Arriving
            || (!intoDfuMode && a.app->versionText() != "V1.1"))
            return;
        if (swapped) {
            world.unplug(side(a));
            world.plug(side(b), 3);
        } else {
            a.app->setFaults(faultOf(&sim::HidFaults::noAnswer, 100));
        }
        done = true;
    });
    hand.start(2);
    const Run r = runCli({QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1")),
        QStringLiteral("--json"), QStringLiteral("--history"), history});
    hand.stop();
    QVERIFY(done);
    QCOMPARE(r.exit, 1);
    QCOMPARE(schemaMismatch(r.out), QString());
    const QJsonObject o = jsonLines(r.out).last();
    QCOMPARE(o[QStringLiteral("result")].toString(), result);
    QVERIFY2(o[QStringLiteral("message")].toString().contains(said), qPrintable(r.out));
    // The other board was not touched, and the row says what happened.
    QCOMPARE(b.dfu->erasedSectorCount(), 0u);
    QCOMPARE(b.app->versionText(), std::string("V1.0"));
    const QList<update::History::Record> rows = update::History(history).rows(QStringLiteral("SN-A"));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.last().result, result);
}

// A board is recorded by its own serial and its boot loader's, found by either, and a board
// left in DFU mode is found again by its own.
void TolvexDfuTest::bothSerials()
{
    sim::HidAppDeviceSpec app;
    app.serial = "CUST-0001";
    sim::DfuDeviceSpec boot = sim::DfuDeviceSpec::twoAlternates();
    boot.serial = "BOOT-SHARED";
    boot.timing = sim::Timing::Realistic;
    const sim::Board board = sim::makeBoard(app, boot, 50);
    board.app->setVersionText("V1.0");
    sim::World::instance().plug(board.app, 4);
    const QString history = file(QStringLiteral("h.sqlite"));
    const QString fw = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"));
    // Stopped half-way: left in DFU mode, where it reports BOOT-SHARED only.
    std::atomic<bool> stop{false};
    QTimer eraseBegun;
    eraseBegun.callOnTimeout([&] { stop = stop || board.dfu->erasedSectorCount() > 0; });
    eraseBegun.start(5);
    const Run stopped = runCli({QStringLiteral("update"), fw, QStringLiteral("--serial"), QStringLiteral("CUST-0001"),
                                   QStringLiteral("--history"), history},
        &stop);
    QCOMPARE(stopped.exit, 130);
    QVERIFY(board.dfu->connected());
    board.dfu->setTiming(sim::Timing::Instant);
    // The same command again finishes it, and says the serial it was given.
    const Run again = runCli({QStringLiteral("update"), fw, QStringLiteral("--serial"), QStringLiteral("CUST-0001"),
        QStringLiteral("--history"), history, QStringLiteral("--json")});
    QVERIFY2(again.exit == 0, qPrintable(again.out + again.err));
    const QJsonObject o = jsonLines(again.out).last();
    QCOMPARE(o[QStringLiteral("serial")].toString(), QStringLiteral("CUST-0001"));
    QCOMPARE(o[QStringLiteral("appSerial")].toString(), QStringLiteral("CUST-0001"));
    QCOMPARE(o[QStringLiteral("bootSerial")].toString(), QStringLiteral("BOOT-SHARED"));
    QCOMPARE(board.app->versionText(), std::string("V1.1"));
    for (const char *serial : {"CUST-0001", "BOOT-SHARED"}) {
        const QList<update::History::Record> rows = update::History(history).rows(QString::fromLatin1(serial));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.last().serial, QStringLiteral("CUST-0001"));
        QCOMPARE(rows.last().bootSerial, QStringLiteral("BOOT-SHARED"));
    }
}

void TolvexDfuTest::noRollback_data()
{
    QTest::addColumn<QString>("board"); // the version its application reports
    QTest::addColumn<int>("release"); // of the file, from its suffix
    QTest::addColumn<bool>("allowOlder");
    QTest::addColumn<bool>("station");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("said");
    QTest::newRow("an older signed release is refused")
        << "V1.2" << 0x0100 << false << false << 3 << "release 1.00 is older than the board's firmware V1.2";
    QTest::newRow("... and written with --allow-older") << "V1.2" << 0x0100 << true << false << 0 << "V1.2 -> V1.1";
    QTest::newRow("the same release again") << "V1.0" << 0x0100 << false << false << 0 << "V1.0 -> V1.1";
    QTest::newRow("a file that gives no release") << "V9.9" << 0xFFFF << false << false << 0 << "V9.9 -> V1.1";
    QTest::newRow("the station refuses it too") << "V1.2" << 0x0100 << false << true << 1 << "older than";
}

void TolvexDfuTest::noRollback()
{
    QFETCH(QString, board);
    QFETCH(int, release);
    QFETCH(bool, allowOlder);
    QFETCH(bool, station);
    QFETCH(int, exit);
    QFETCH(QString, said);
    // Signed by the maker, with the maker's key installed: the signature alone lets it through.
    QTemporaryDir keys;
    const TestKey maker, stranger;
    QVERIFY(writeFile(keys.filePath(QStringLiteral("maker.pub")), maker.publicFile()));
    dfulib::setTrustedKeyFolders({keys.path().toStdString()});
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), board.toStdString());
    const QString path = dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"), 0x2A17, quint16(release));
    QVERIFY(signFileAs(signing::Trusted, maker, stranger, path));
    const QString history = file(QStringLiteral("h.sqlite"));
    QStringList args{station ? QStringLiteral("station") : QStringLiteral("update"), path, QStringLiteral("--history"),
        history, QStringLiteral("--json")};
    if (allowOlder)
        args << QStringLiteral("--allow-older");
    if (station)
        args << QStringLiteral("--count") << QStringLiteral("1");
    const Run r = runCli(args);
    dfulib::setTrustedKeyFolders({});
    QCOMPARE(r.exit, exit);
    QCOMPARE(schemaMismatch(r.out), QString());
    const QJsonObject result = [&] {
        for (const QJsonObject &o : jsonLines(r.out))
            if (o[QStringLiteral("event")] == QLatin1String("result"))
                return o;
        return QJsonObject();
    }();
    const QString message = result[QStringLiteral("message")].toString() + result[QStringLiteral("old")].toString()
                            + QStringLiteral(" -> ") + result[QStringLiteral("new")].toString();
    QVERIFY2(message.contains(said) || r.err.contains(said), qPrintable(message + r.err));
    const QJsonValue fileRelease = release == 0xFFFF ? QJsonValue() : QJsonValue(QStringLiteral("1.00"));
    QCOMPARE(result[QStringLiteral("fileRelease")], fileRelease);
    const QList<update::History::Record> rows = update::History(history).rows(QString(), QDateTime());
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().fileRelease, fileRelease.toString());
    if (exit != 0) {
        QVERIFY(board == QString::fromStdString(b.app->versionText()));
        QCOMPARE(b.dfu->erasedSectorCount(), 0u);
    }
}

void TolvexDfuTest::dryRun_data()
{
    QTest::addColumn<QString>("loader"); // the boot loader's name; empty: the board's own
    QTest::addColumn<bool>("inDfuMode"); // at the start
    QTest::addColumn<bool>("holdsImage");
    QTest::addColumn<QByteArray>("imageName");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("said");
    const QStringList dry{"--dry-run"}, enter{"--dry-run", "--enter"};
    const QByteArray ours("fw_main_v2");
    // In application mode a dry run cannot know the boot loader's name: never "would go ahead".
    QTest::newRow("in application mode: not sent into DFU mode")
        << QString() << false << false << ours << dry << 5 << "known only in DFU mode";
    QTest::newRow("of a boot loader Config.ini does not list")
        << "Tolvex Loader" << false << false << ours << dry << 5 << "known only in DFU mode";
    QTest::newRow("--enter of that board: refused, and back")
        << "Tolvex Loader" << false << false << ours << enter << 3 << "permits no image for \"Tolvex Loader\"";
    QTest::newRow("--enter: compared in DFU mode, and back")
        << QString() << false << false << ours << enter << 0 << "would erase and write 3 of 3 sectors";
    QTest::newRow("in DFU mode: compared, nothing erased")
        << QString() << true << true << ours << dry << 0 << "would erase and write 0 of 3 sectors";
    QTest::newRow("of a file the board refuses")
        << QString() << true << false << QByteArray("otter9_app") << dry << 3 << "not permitted";
}

// --dry-run erases nothing and leaves the board where it found it: sent into DFU mode only with
// --enter, and then back.
void TolvexDfuTest::dryRun()
{
    QFETCH(QString, loader);
    QFETCH(bool, inDfuMode);
    QFETCH(bool, holdsImage);
    QFETCH(QByteArray, imageName);
    QFETCH(QStringList, options);
    QFETCH(int, exit);
    QFETCH(QString, said);
    const QByteArray image = firmware("V1.1");
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, loader.toStdString());
    if (inDfuMode) {
        sim::World::instance().unplug(b.app);
        sim::World::instance().plug(b.dfu, 1);
    }
    if (holdsImage)
        QVERIFY(
            b.dfu->writeMemory(1, Flash, reinterpret_cast<const uint8_t *>(image.constData()), size_t(image.size())));
    const Run r =
        runCli(QStringList{QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), imageName, image)} + options);
    QCOMPARE(r.exit, exit);
    QVERIFY2((r.out + r.err).contains(said), qPrintable(r.out + r.err));
    QCOMPARE(b.dfu->erasedSectorCount(), 0u);
    if (inDfuMode) {
        QVERIFY(b.dfu->connected());
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(!update::appDevices().isEmpty(), 5000);
    QCOMPARE(b.app->versionText(), std::string("V1.0"));
    QVERIFY2(r.out.contains(QStringLiteral("firmware V1.0")), qPrintable(r.out));
}

void TolvexDfuTest::filesForOtherUsbIds_data()
{
    QTest::addColumn<int>("productId");
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("exit");
    QTest::addColumn<QString>("said");
    QTest::newRow("other USB ids") << 0x2A99 << false << 3 << "the file is made for USB ids 1209:2a99";
    QTest::newRow("other USB ids, --force") << 0x2A99 << true << 0 << "V1.0 -> V1.1";
    QTest::newRow("any product id") << 0xFFFF << false << 0 << "V1.0 -> V1.1";
}

void TolvexDfuTest::filesForOtherUsbIds()
{
    QFETCH(int, productId);
    QFETCH(bool, force);
    QFETCH(int, exit);
    QFETCH(QString, said);
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    QStringList args{QStringLiteral("update"),
        dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"), quint16(productId))};
    if (force)
        args << QStringLiteral("--force");
    const Run r = runCli(args);
    QCOMPARE(r.exit, exit);
    QVERIFY2((r.out + r.err).contains(said), qPrintable(r.out + r.err));
    QCOMPARE(b.dfu->erasedSectorCount() > 0, exit == 0);
}

void TolvexDfuTest::waitsForABoardPluggedInLater()
{
    QList<sim::Board> boards;
    QTimer::singleShot(400, [&] { boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0"); });
    const Run r = runCli({QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1")),
        QStringLiteral("--wait-seconds"), QStringLiteral("10")});
    QCOMPARE(r.exit, 0);
    QVERIFY2(r.out.contains(QStringLiteral("V1.0 -> V1.1")), qPrintable(r.out + r.err));
    QCOMPARE(boards.size(), 1);
}

// --config=PATH, -j and -- before the file: a good JSON run says nothing besides its lines.
void TolvexDfuTest::gnuForms()
{
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const Run r = runCli({QStringLiteral("update"), QStringLiteral("-j"), QStringLiteral("--config=Config.ini"),
        QStringLiteral("--"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"))});
    QCOMPARE(r.exit, 0);
    QVERIFY2(r.out.contains(QStringLiteral("\"result\":\"done\"")), qPrintable(r.out + r.err));
    QVERIFY2(schemaMismatch(r.out).isEmpty(), qPrintable(schemaMismatch(r.out)));
    QVERIFY(r.err.isEmpty());
}

void TolvexDfuTest::verboseAndHelp_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("said");
    QTest::newRow("--verbose says what it did") << QStringList{"-v"} << QStringList{"transfer size 2048 bytes"};
    // Each option's whole text, its continuation lines too.
    QTest::newRow("--help") << QStringList{"--help"}
                            << QStringList{"history knows it)\n", "line of central.conf; see CENTRAL HISTORY"};
}

void TolvexDfuTest::verboseAndHelp()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, said);
    const sim::Board b = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const Run r =
        runCli(QStringList{QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"))}
               + options);
    QCOMPARE(r.exit, 0);
    for (const QString &s : said)
        QVERIFY2((r.out + r.err).contains(s), qPrintable(s + QStringLiteral(" not in:\n") + r.out + r.err));
}

// Four boards updated at once: the table fits 80 columns.
void TolvexDfuTest::tableFits80Columns()
{
    QList<sim::Board> boards;
    for (int i = 0; i < 4; ++i)
        boards << plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const Run r = runCli({QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1")),
        QStringLiteral("--all")});
    QCOMPARE(r.exit, 0);
    QVERIFY2(r.out.contains(QStringLiteral("RESULT")), qPrintable(r.out));
    for (const QString &line : r.out.split(QLatin1Char('\n')))
        QVERIFY2(line.size() < 80, qPrintable(line));
    QCOMPARE(r.out.count(QStringLiteral(" done ")), 4);
}

// A backup made with upload is written back by update, through the usual checks.
void TolvexDfuTest::backupAndRestore()
{
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const QByteArray v11 = firmware("V1.1"), v12 = firmware("V1.2");
    QCOMPARE(runCli({QStringLiteral("update"), dfuFile(QStringLiteral("v11.dfu"), "fw_main_v2", v11)}).exit, 0);
    const QByteArray before = memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, Flash, 1024 * 1024);
    QCOMPARE(runCli({QStringLiteral("enter-dfu")}).exit, 0);
    const QString backup = file(QStringLiteral("backup.dfu"));
    const Run saved = runCli({QStringLiteral("upload"), backup, QStringLiteral("--json")});
    QCOMPARE(saved.exit, 0);
    QVERIFY2(schemaMismatch(saved.out).isEmpty(), qPrintable(schemaMismatch(saved.out)));
    QCOMPARE(jsonLines(saved.out).last().value(QStringLiteral("image")).toString(), QStringLiteral("fw_main_v2"));
    QCOMPARE(runCli({QStringLiteral("update"), dfuFile(QStringLiteral("v12.dfu"), "fw_main_v2", v12)}).exit, 0);
    QCOMPARE(board.app->versionText(), std::string("V1.2"));
    const Run restored = runCli({QStringLiteral("update"), backup});
    QVERIFY2(restored.exit == 0, qPrintable(restored.err));
    QCOMPARE(board.app->versionText(), std::string("V1.1"));
    QCOMPARE(memory(SimDfuDevice{board.dfu, std::string(), QString(), 0}, 1, Flash, 1024 * 1024), before);
}

void TolvexDfuTest::fieldService_data()
{
    QTest::addColumn<int>("changedAt"); // the offset of a byte changed in the board's memory; -1: none
    QTest::addColumn<QByteArray>("imageName"); // of the file verified
    QTest::addColumn<bool>("readProtected");
    QTest::addColumn<QString>("layout"); // the memory's layout string; empty: as built
    QTest::addColumn<int>("exit");
    QTest::addColumn<QStringList>("differences"); // "START-END"; checked when the exit is 0 or 1
    const QByteArray name = "fw_main_v2";
    QTest::newRow("verify: identical") << -1 << name << false << QString() << 0 << QStringList();
    QTest::newRow("verify: one byte differs, its range said")
        << 0x123 << name << false << QString() << 1 << QStringList{"0x08000123-0x08000124"};
    QTest::newRow("verify: another product's file, refused as an update")
        << -1 << QByteArray("otter9_app") << false << QString() << 3 << QStringList();
    QTest::newRow("verify: a read-protected board") << -1 << name << true << QString() << 6 << QStringList();
    QTest::newRow("verify: a memory its layout says cannot be read")
        << -1 << name << false << QStringLiteral("@Internal Flash  /0x08000000/04*016Kf,01*064Kf,07*128Kf") << 6
        << QStringList();
}

// A technician's first question: does the board hold exactly this file (read back, nothing
// written)?
void TolvexDfuTest::fieldService()
{
    QFETCH(int, changedAt);
    QFETCH(QByteArray, imageName);
    QFETCH(bool, readProtected);
    QFETCH(QString, layout);
    QFETCH(int, exit);
    QFETCH(QStringList, differences);
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    const QByteArray image = firmware("V1.1");
    QCOMPARE(runCli({QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", image)}).exit, 0);
    const QString file = dfuFile(QStringLiteral("verified.dfu"), imageName, image);
    if (changedAt >= 0) {
        const uint8_t changed = 0x5A ^ uint8_t(image[changedAt]);
        QVERIFY(board.dfu->writeMemory(1, Flash + uint32_t(changedAt), &changed, 1));
    }
    sim::DfuFaults faults;
    faults.readProtected = readProtected;
    board.dfu->setFaults(faults);
    if (!layout.isEmpty())
        board.dfu->setLayoutString(1, layout.toStdString());
    const uint64_t erasedBefore = board.dfu->erasedSectorCount();
    const Run r = runCli({QStringLiteral("verify"), file, QStringLiteral("--json")});
    QVERIFY2(r.exit == exit, qPrintable(r.out + r.err));
    QVERIFY2(schemaMismatch(r.out).isEmpty(), qPrintable(schemaMismatch(r.out)));
    QCOMPARE(board.dfu->erasedSectorCount(), erasedBefore); // nothing erased, ever
    if (exit > 1)
        return;
    const QJsonObject result = jsonLines(r.out).last();
    QCOMPARE(result.value(QStringLiteral("identical")).toBool(), differences.isEmpty());
    QCOMPARE(result.value(QStringLiteral("bytesCompared")).toInt(), image.size());
    QStringList found;
    for (const QJsonValue &range : result.value(QStringLiteral("differences")).toArray())
        found << range.toObject().value(QStringLiteral("start")).toString() + QLatin1Char('-')
                     + range.toObject().value(QStringLiteral("end")).toString();
    QCOMPARE(found, differences);
    // Back in its application afterwards.
    QTRY_VERIFY(board.app->connected());
}

void TolvexDfuTest::backups_data()
{
    QTest::addColumn<QStringList>("options"); // of upload
    // A board of two flashes (both erasable, so that a backup of either is written back), or
    // one of option bytes and a flash.
    QTest::addColumn<bool>("twoFlashes");
    QTest::addColumn<int>("exit");
    // Where the backup's one element must be: its alternate, address and size.
    QTest::addColumn<int>("alternate");
    QTest::addColumn<quint32>("from");
    QTest::addColumn<quint32>("size");
    // Written back, it covers part of a sector, and says it erases the sector whole.
    QTest::addColumn<bool>("partial");
    const quint32 Bank = 128 * 1024;
    QTest::newRow("upload --alt 0, written back and verified")
        << QStringList{"--alt", "0"} << true << 0 << 0 << quint32(Flash) << Bank << false;
    QTest::newRow("upload --alt \"Boot Flash\"")
        << QStringList{"--alt=Boot Flash"} << true << 0 << 0 << quint32(Flash) << Bank << false;
    QTest::newRow("upload --address inside a memory")
        << QStringList{"--address", "0x08000100:512"} << false << 0 << 1 << quint32(Flash + 0x100) << 512u << true;
    QTest::newRow("upload --address without a length: to the end")
        << QStringList{"--address=0x080E0000"} << false << 0 << 1 << 0x080E0000u << Bank << false;
    QTest::newRow("upload --address across the end of the memory")
        << QStringList{"--address=0x080FFF00:0x200"} << false << 3 << 1 << 0u << 0u << false;
    QTest::newRow("upload --address outside every memory")
        << QStringList{"--address=0x09000000:16"} << false << 3 << 1 << 0u << 0u << false;
    // A leading zero is a decimal digit, never the octal prefix.
    QTest::newRow("upload --address in decimal, with a leading 0")
        << QStringList{"--address=0134217984:0512"} << false << 0 << 1 << quint32(Flash + 0x100) << 512u << true;
}

// A technician's backups of any memory or range, which update writes back and verify finds
// identical.
void TolvexDfuTest::backups()
{
    QFETCH(QStringList, options);
    QFETCH(bool, twoFlashes);
    QFETCH(int, exit);
    QFETCH(int, alternate);
    QFETCH(quint32, from);
    QFETCH(quint32, size);
    QFETCH(bool, partial);
    const sim::Board board = twoFlashes ? sim::makeBoard(sim::HidAppDeviceSpec(), sim::DfuDeviceSpec::twoFlashes(), 50)
                                        : plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    if (twoFlashes)
        sim::World::instance().plug(board.app);
    else
        QCOMPARE(
            runCli({QStringLiteral("update"), dfuFile(QStringLiteral("fw.dfu"), "fw_main_v2", firmware("V1.1"))}).exit,
            0);
    const QStringList json{QStringLiteral("--json")};
    QCOMPARE(runCli({QStringLiteral("enter-dfu")}).exit, 0);
    const QString backup = file(QStringLiteral("backup.dfu"));
    const Run saved = runCli(QStringList{QStringLiteral("upload"), backup} + options + json);
    QVERIFY2(saved.exit == exit, qPrintable(saved.out + saved.err));
    QVERIFY2(schemaMismatch(saved.out).isEmpty(), qPrintable(schemaMismatch(saved.out)));
    if (exit != 0) {
        QVERIFY(!QFileInfo::exists(backup));
        return;
    }
    // One image, for that alternate, its one element where it was read.
    const QByteArray bytes = readFile(backup);
    dfulib::FileView view;
    QCOMPARE(dfulib::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view),
        DfuStatus(DFU_OK));
    QCOMPARE(view.targets.size(), size_t(1));
    QCOMPARE(view.targets[0].alternate, uint8_t(alternate));
    QCOMPARE(view.targets[0].elements.size(), size_t(1));
    QCOMPARE(view.targets[0].elements[0].address, from);
    QCOMPARE(view.targets[0].elements[0].size, size);
    // Change what was saved, write the backup back, and find it identical.
    std::vector<uint8_t> changed(size, 0x42);
    QVERIFY(board.dfu->writeMemory(alternate, from, changed.data(), changed.size()));
    const QStringList alt{QStringLiteral("--alt"), QString::number(alternate)};
    const Run differs = runCli(QStringList{QStringLiteral("verify"), backup, QStringLiteral("--stay")} + alt);
    QVERIFY2(differs.exit == 1, qPrintable(differs.out + differs.err));
    const Run restored = runCli(QStringList{QStringLiteral("update"), backup} + alt);
    QVERIFY2(restored.exit == 0, qPrintable(restored.out + restored.err));
    // A range that covers part of a sector is said, when it is written back, to erase it whole.
    QVERIFY2(restored.err.contains(QStringLiteral("covers part of the sectors")) == partial, qPrintable(restored.err));
    const Run verified = runCli(QStringList{QStringLiteral("verify"), backup} + alt);
    QVERIFY2(verified.exit == 0 && verified.out.contains(QStringLiteral("identical")),
        qPrintable(verified.out + verified.err));
    std::vector<uint8_t> now(size);
    QVERIFY(board.dfu->readMemory(alternate, from, now.data(), now.size()));
    QVERIFY(std::memcmp(now.data(), view.targets[0].elements[0].data, size) == 0);
}

// Where files must be signed, the administrator decides whether this machine's own backups are
// written back unsigned: only to the board they were read from.
void TolvexDfuTest::restoreUnderPolicy()
{
    QTemporaryDir folder;
    const TestKey maker;
    const QString keys = folder.filePath(QStringLiteral("trusted-keys"));
    QVERIFY(QDir().mkpath(keys) && writeFile(keys + QStringLiteral("/maker.pub"), maker.publicFile()));
    const auto policy = [&](const QByteArray &word) {
        const QString setting = folder.filePath(QStringLiteral("restore-policy"));
        return writeFile(setting, word)
               && QFile::setPermissions(
                   setting, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    };
    // A history only this user can write: the evidence of what this user backed up.
    const QString own = folder.filePath(QStringLiteral("own"));
    QVERIFY(QDir().mkpath(own) && QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QStringList history{QStringLiteral("--history"), own + QStringLiteral("/history.sqlite")};
    const auto cli = [&](const QStringList &args) { return runCli(args + history); };
    const sim::Board board = plugBoard(sim::HidAppDeviceSpec(), "V1.0");
    // Updated once from its application: the history knows which board shows its boot serial.
    QCOMPARE(
        cli({QStringLiteral("update"), dfuFile(QStringLiteral("v10.dfu"), "fw_main_v2", firmware("V1.0"))}).exit, 0);
    dfulib::setTrustedKeyFolders({keys.toStdString()});
    QCOMPARE(runCli({QStringLiteral("enter-dfu")}).exit, 0);
    const QString backup = file(QStringLiteral("backup.dfu"));
    QCOMPARE(cli({QStringLiteral("upload"), backup}).exit, 0);
    const Run refused = cli({QStringLiteral("update"), backup});
    QVERIFY2(refused.exit == 3
                 && refused.err.contains(
                     QStringLiteral("\"own-backups\" in ") + folder.filePath(QStringLiteral("restore-policy"))),
        qPrintable(refused.err));
    QVERIFY(policy("signed-only\n"));
    QCOMPARE(cli({QStringLiteral("update"), backup}).exit, 3);
    QVERIFY(policy("own-backups\n"));
    // A history that others can write too (a shared group history) is no evidence: a row
    // forged into it would whitelist any file.
    QVERIFY(QFile::setPermissions(
        own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::WriteGroup | QFile::ExeGroup));
    const Run shared = cli({QStringLiteral("update"), backup});
    QVERIFY2(shared.exit == 3 && shared.err.contains(QStringLiteral("can be written by other users")),
        qPrintable(shared.err));
    QVERIFY(QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const Run restored = cli({QStringLiteral("update"), backup});
    QVERIFY2(restored.exit == 0, qPrintable(restored.err));
    QVERIFY2(restored.err.contains(QStringLiteral("this machine's backup")), qPrintable(restored.err));
    // Another board takes none of it.
    sim::World::instance().unplugAll();
    sim::HidAppDeviceSpec other;
    other.serial = "TVX-0002";
    const sim::Board second = plugBoard(other, "V1.0");
    const Run elsewhere = cli({QStringLiteral("update"), backup});
    QVERIFY2(
        elsewhere.exit == 3 && elsewhere.err.contains(QStringLiteral("not of this board")), qPrintable(elsewhere.err));
    QCOMPARE(second.dfu->erasedSectorCount(), uint64_t(0));

    // A board met only in DFU mode, whose boot loader reports the serial every board of the
    // family reports: its backup names no board, so neither it nor another takes it back.
    sim::World::instance().unplugAll();
    other.serial = "TVX-0003";
    const sim::Board third = plugBoard(other, "V1.0");
    sim::World::instance().unplug(third.app);
    sim::World::instance().plug(third.dfu);
    const QString thirdBackup = file(QStringLiteral("third.dfu"));
    QCOMPARE(cli({QStringLiteral("upload"), thirdBackup}).exit, 0);
    const Run same = cli({QStringLiteral("update"), thirdBackup});
    QVERIFY2(same.exit == 3 && same.err.contains(QStringLiteral("names no board")), qPrintable(same.err));
    sim::World::instance().unplugAll();
    other.serial = "TVX-0004";
    const sim::Board fourth = plugBoard(other, "V1.0");
    sim::World::instance().unplug(fourth.app);
    sim::World::instance().plug(fourth.dfu);
    const Run sharing = cli({QStringLiteral("update"), thirdBackup});
    dfulib::setTrustedKeyFolders({});
    QVERIFY2(sharing.exit == 3 && sharing.err.contains(QStringLiteral("names no board")), qPrintable(sharing.err));
    QCOMPARE(third.dfu->erasedSectorCount() + fourth.dfu->erasedSectorCount(), uint64_t(0));
}

QTEST_GUILESS_MAIN(TolvexDfuTest)
#include "tst_tolvexdfu.moc"
