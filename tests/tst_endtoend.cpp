// The whole road of one firmware update on the demo's simulated product and with the
// demo's own files: application mode, into DFU mode, download, back with the new version,
// and an upload; then the refused files, and an unplug in the middle of the upgrade with a
// retry that leaves nothing lost.

#include "Bytes.h"
#include "Cli.h"
#include "DemoBoards.h"
#include "DemoRoad.h"
#include "DfuFileFormat.h"
#include "History.h"
#include "MainWindow.h"
#include "TestSupport.h"
#include "WindowWatcher.h"
#include "World.h"

#include <QProgressBar>
#include <QTest>

namespace {

const QString Product = QString::fromLatin1(demo::StandardProduct);

QString demoFile(const char *name)
{
    return QStringLiteral(TOLVEX_DEMO_DIR "/") + QLatin1String(name);
}

// True when the flash holds every element of the file's image.
bool memoryHoldsImage(const sim::Board &board, const QString &file)
{
    const QByteArray bytes = readFile(file);
    dfu::FileView view;
    if (dfu::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view) != DFU_OK
        || view.targets.size() != 1)
        return false;
    for (const dfu::ElementView &e : view.targets[0].elements) {
        std::vector<uint8_t> memory(e.size);
        if (!board.dfu->readMemory(demo::FlashAlternate, e.address, memory.data(), memory.size())
            || std::memcmp(memory.data(), e.data, e.size) != 0)
            return false;
    }
    return true;
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void firmwareUpdateAndUpload();
    void refusedFiles_data();
    void refusedFiles();
    void unplugDuringUpgradeThenRetry();
    void windowRowIsTheTerminalsRow();

private:
    WorkingFolder *folder = nullptr;
    sim::Board board;
};

void EndToEndTest::init()
{
    folder = new WorkingFolder;
    QVERIFY(QFile::copy(demoFile("Config.ini"), folder->file(QStringLiteral("Config.ini"))));
    board = demo::makeBoard(false, sim::Timing::Instant, 50);
    sim::World::instance().plug(board.app);
}

void EndToEndTest::cleanup()
{
    sim::World::instance().unplugAll();
    board = sim::Board();
    delete folder;
    folder = nullptr;
}

void EndToEndTest::firmwareUpdateAndUpload()
{
    const QString good = demoFile("Tolvex-Demo-Board-V1.1.dfu");
    MainWindow window;
    DemoRoad road(window);
    QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.0")), qPrintable(road.error()));
    QVERIFY2(road.enterDfuMode(Product), qPrintable(road.error()));
    QCOMPARE(window.dfuImageName(), QStringLiteral("fw_main_v2"));
    QVERIFY2(road.chooseFile(good), qPrintable(road.error()));

    // Realistic timing, so that every phase stays on show long enough to be seen.
    board.dfu->setTiming(sim::Timing::Realistic);
    WindowWatcher watcher(window);
    QCOMPARE(road.download(), QStringLiteral("Upgrade completed"));
    board.dfu->setTiming(sim::Timing::Instant);
    watcher.sample();
    QVERIFY2(watcher.statuses.contains("Erasing...") && watcher.statuses.contains("Upgrading..."),
             qPrintable(watcher.statuses.join(", ")));
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 100);
    QVERIFY(child<QProgressBar>(window, "progressBar")->styleSheet().contains("rgb(0, 255, 0)"));
    QVERIFY(memoryHoldsImage(board, good));

    // The device went back to its application and reports the version of the new firmware.
    QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.1")), qPrintable(road.error()));
    QCOMPARE(board.app->versionText(), std::string("V1.1"));

    // Read back: the uploaded file's one image is the flash as the device holds it.
    QVERIFY2(road.enterDfuMode(Product), qPrintable(road.error()));
    const QString saved = folder->file(QStringLiteral("read-back.dfu"));
    QCOMPARE(road.upload(saved), QStringLiteral("Upload completed"));
    const QByteArray bytes = readFile(saved);
    dfu::FileView view;
    QCOMPARE(dfu::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view),
             DfuStatus(DFU_OK));
    QCOMPARE(view.targets.size(), size_t(1));
    QVERIFY(!view.targets[0].elements.empty());
    for (const dfu::ElementView &e : view.targets[0].elements) {
        std::vector<uint8_t> memory(e.size);
        QVERIFY(board.dfu->readMemory(demo::FlashAlternate, e.address, memory.data(), memory.size()));
        QVERIFY(std::memcmp(memory.data(), e.data, e.size) == 0);
    }
    QCOMPARE(view.targets[0].elements[0].address, demo::FlashStart);
}

void EndToEndTest::refusedFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("status");
    QTest::newRow("image name not permitted") << demoFile("Wrong-Image-Name.dfu") << "Wrong File" << "No operation";
    QTest::newRow("broken CRC") << demoFile("Broken-CRC.dfu") << QString() << "Erase failed";
}

void EndToEndTest::refusedFiles()
{
    QFETCH(QString, file);
    QFETCH(QString, box);
    QFETCH(QString, status);
    MainWindow window;
    DemoRoad road(window);
    QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.0")), qPrintable(road.error()));
    QVERIFY2(road.enterDfuMode(Product), qPrintable(road.error()));
    QVERIFY2(road.chooseFile(file), qPrintable(road.error()));
    // Only the named box is answered here; the road answers the question before it.
    ModalAnswerer refusal(QStringLiteral("OK"), box.isEmpty() ? QStringLiteral("(none expected)") : box);
    QCOMPARE(road.download(), status);
    QCOMPARE(refusal.box.seen, !box.isEmpty());
    // Nothing was written, and the device stays in DFU mode for a good file.
    QCOMPARE(board.dfu->erasedSectorCount(), uint64_t(0));
    QCOMPARE(board.app->versionText(), std::string("V1.0"));
    QCOMPARE(text(window, "lbl_DfuDeviceName"), Product);
}

void EndToEndTest::unplugDuringUpgradeThenRetry()
{
    const QString good = demoFile("Tolvex-Demo-Board-V1.1.dfu");
    MainWindow window;
    DemoRoad road(window);
    QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.0")), qPrintable(road.error()));
    QVERIFY2(road.enterDfuMode(Product), qPrintable(road.error()));
    sim::DfuFaults faults;
    faults.disconnectAtBlock = 20;
    faults.once = true;
    board.dfu->setFaults(faults);
    QVERIFY2(road.chooseFile(good), qPrintable(road.error()));
    QCOMPARE(road.download(), QStringLiteral("Upgrade failed"));
    QTRY_COMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(!memoryHoldsImage(board, good));

    // Plugged in again, the device is still in its boot loader: the second attempt completes.
    sim::World::instance().plug(board.dfu);
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "lbl_DfuDeviceName"), Product, 10000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY2(road.chooseFile(good), qPrintable(road.error()));
    QCOMPARE(road.download(), QStringLiteral("Upgrade completed"));
    QVERIFY(memoryHoldsImage(board, good));
    QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.1")), qPrintable(road.error()));
}

// The same update, once through the window and once through tolvex-dfu: the two history rows
// say the same of the board, the file and the outcome.
void EndToEndTest::windowRowIsTheTerminalsRow()
{
    const QString good = demoFile("Tolvex-Demo-Board-V1.1.dfu");
    {
        MainWindow window;
        DemoRoad road(window);
        QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.0")), qPrintable(road.error()));
        QVERIFY2(road.enterDfuMode(Product), qPrintable(road.error()));
        QVERIFY2(road.chooseFile(good), qPrintable(road.error()));
        QCOMPARE(road.download(), QStringLiteral("Upgrade completed"));
        QVERIFY2(road.waitForAppVersion(QStringLiteral("V1.1")), qPrintable(road.error()));
    } // the window's rows are written by its end
    sim::World::instance().unplugAll();
    board = demo::makeBoard(false, sim::Timing::Instant, 50);
    sim::World::instance().plug(board.app);
    QString said;
    cli::Io io;
    io.out = [&](const QString &t) { said += t; };
    io.err = [&](const QString &t) { said += t; };
    io.arrivalTimeoutMs = 5000;
    QVERIFY2(cli::run({QStringLiteral("update"), good}, io) == 0, qPrintable(said));

    const QList<update::History::Record> rows =
        update::History(update::History::defaultPath(), update::History::Mode::Read).rows();
    QVERIFY(rows.size() >= 2);
    const update::History::Record &window = rows[rows.size() - 2], &terminal = rows.last();
    QCOMPARE(window.program, QStringLiteral("window"));
    QCOMPARE(terminal.program, QStringLiteral("tolvex-dfu"));
    QCOMPARE(window.serial, QStringLiteral("TVX-0001"));
    QCOMPARE(window.versionBefore, QStringLiteral("V1.0"));
    QCOMPARE(window.versionAfter, QStringLiteral("V1.1"));
    const auto fields = [](const update::History::Record &r) {
        return QStringList{r.product, r.serial, r.bootSerial, r.location, r.versionBefore, r.versionAfter, r.file,
            r.fileSha256, r.fileRelease, r.imageName, QString::number(r.sectorsWritten), QString::number(r.sectorsKept),
            QString::number(r.bytesVerified), r.result, r.host, r.programVersion};
    };
    QCOMPARE(fields(window), fields(terminal));
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
