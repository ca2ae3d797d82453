// The DFU-mode side of the window on simulated devices: the device list and its
// connection, file choice, download with every phase and failure, return to application
// mode, and the upload reached only by name.

#include "Bytes.h"
#include "DfuFileFormat.h"
#include "FileSignature.h"
#include "HeldLock.h"
#include "History.h"
#include "MainWindow.h"
#include "Minisign.h"
#include "OverlapFile.h"
#include "SimDfu.h"
#include "SimHid.h"
#include "TestSupport.h"
#include "Unpacked.h"
#include "WindowWatcher.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

Q_DECLARE_METATYPE(sim::DfuFaults)

namespace {

constexpr uint32_t Flash = 0x08000000;
const char Product[] = "Tolvex Demo Board";

struct TargetSpec
{
    quint8 alternate;
    QByteArray name;
    QList<QPair<quint32, QByteArray>> elements;
};

// The window's row of the download of `file` once it has ended: rows are written by a thread
// of their own, a moment after the window moved on.
update::History::Record rowOfDownload(const QString &file)
{
    QElapsedTimer waited;
    waited.start();
    do {
        update::History h(update::History::defaultPath(), update::History::Mode::Read);
        const QList<update::History::Record> rows = h.rows();
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            if (it->file == QFileInfo(file).absoluteFilePath() && it->ended.isValid())
                return *it;
        }
        QTest::qWait(20);
    } while (waited.elapsed() < 15000);
    return update::History::Record();
}

QByteArray dfuBytes(const QList<TargetSpec> &specs, quint16 productId = 0x2A17)
{
    std::vector<dfulib::Target> targets;
    for (const TargetSpec &s : specs) {
        dfulib::Target t;
        t.alternate = s.alternate;
        t.name = s.name.toStdString();
        for (const auto &e : s.elements)
            t.elements.emplace_back(e.first, std::vector<uint8_t>(e.second.begin(), e.second.end()));
        targets.push_back(std::move(t));
    }
    std::vector<uint8_t> bytes;
    if (dfulib::buildFile(0x1209, productId, 0x0100, targets, bytes) != DFU_OK)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

bool writeDfu(const QString &path, const QList<TargetSpec> &specs, quint16 productId = 0x2A17)
{
    const QByteArray bytes = dfuBytes(specs, productId);
    QFile f(path);
    return !bytes.isEmpty() && f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class DfuWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void noDevice();
    void oneDeviceConnects();
    void idlePollingCostsNoTransfers();
    void secondDeviceJoinsAndConnectedOneLeaves();
    void twoRemovedAtOnce();
    void deviceReplacedOnTheSamePort();
    void deviceGoneDuringConnecting();
    void productNotInConfiguration_data();
    void productNotInConfiguration();
    void fileChoice();
    void wholeDownload_data();
    void wholeDownload();
    void imageNameCheck_data();
    void imageNameCheck();
    void otherUsbIdsWarned();
    void signatureCheck_data();
    void signatureCheck();
    void imageOfLastAlternate_data();
    void imageOfLastAlternate();
    void downloadFailures_data();
    void downloadFailures();
    void historyLockedDuringDownload_data();
    void historyLockedDuringDownload();
    void buttonsIgnoredDuringDownload();
    void goToAppModeForgetsTheDevice();
    void notReopenedWhileReturning();
    void uploadByName();
    void uploadToUnwritableDestination();

private:
    void connectWindow(MainWindow &window, const char *product = Product);
    void chooseFile(MainWindow &window, const QString &path);
    // Presses "Download DFU to device" and answers the confirmation with Yes.
    SeenBox download(MainWindow &window);

    WorkingFolder *folder = nullptr;
};

void DfuWindowTest::init()
{
    folder = new WorkingFolder;
    QVERIFY(folder->writeConfig("Tolvex Demo Board,fw_main_v2\nOther Board,other_fw\nNameless Board,\n"));
}

void DfuWindowTest::cleanup()
{
    sim::World::instance().unplugAll();
    delete folder;
    folder = nullptr;
}

void DfuWindowTest::connectWindow(MainWindow &window, const char *product)
{
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "lbl_DfuDeviceName"), QString::fromLatin1(product), 10000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
}

void DfuWindowTest::chooseFile(MainWindow &window, const QString &path)
{
    ModalAnswerer choose(path, QStringLiteral("Open Document"));
    child<QPushButton>(window, "pb_SelectDfuFile")->click();
    QVERIFY(choose.box.seen);
}

SeenBox DfuWindowTest::download(MainWindow &window)
{
    ModalAnswerer yes(QStringLiteral("Yes"), QStringLiteral("Download"));
    child<QPushButton>(window, "pb_DownloadDfu")->click();
    return yes.box;
}

void DfuWindowTest::noDevice()
{
    MainWindow window;
    for (int i = 0; i < 3; ++i)
        QVERIFY(QMetaObject::invokeMethod(&window, "refreshDfuDevList"));
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
    QCOMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(window.dfuDeviceList().devices().isEmpty());
}

void DfuWindowTest::oneDeviceConnects()
{
    MainWindow window;
    window.show();
    WindowWatcher watcher(window);
    const SimDfuDevice dev = plugDfuDevice();
    QTest::ignoreMessage(QtDebugMsg, "\"fw_main_v2\"");
    connectWindow(window);
    QVERIFY(child(window, "groupBox_DfuMode")->isEnabled());
    QCOMPARE(window.dfuImageName(), QStringLiteral("fw_main_v2"));
    QCOMPARE(window.connectedDfuDevice().path, QString::fromStdString(dev.path));
    QCOMPARE(window.connectedDfuDevice().connected, 1);
    QCOMPARE(window.connectedDfuDevice().serial, QStringLiteral("TVX-0001"));
    QTRY_COMPARE(watcher.connectingShownMs.size(), 1);
    QVERIFY2(watcher.connectingShownMs[0] >= 900 && watcher.connectingShownMs[0] < 10000,
             qPrintable(QString::number(watcher.connectingShownMs[0])));
    QCOMPARE(dfuTarget.vendorId, quint16(0x1209));
    QCOMPARE(dfuTarget.alternateCount, 2u);
}

void DfuWindowTest::idlePollingCostsNoTransfers()
{
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    connectWindow(window);
    const uint64_t before = dev.model->controlTransferCount();
    for (int i = 0; i < 100; ++i)
        QVERIFY(QMetaObject::invokeMethod(&window, "refreshDfuDevList"));
    QCOMPARE(dev.model->controlTransferCount(), before);
}

void DfuWindowTest::secondDeviceJoinsAndConnectedOneLeaves()
{
    MainWindow window;
    window.show();
    WindowWatcher watcher(window);
    const SimDfuDevice first = plugDfuDevice();
    connectWindow(window);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.product = "Other Board";
    setup.serial = std::string();
    const SimDfuDevice second = plugDfuDevice(setup);
    QTRY_COMPARE(window.dfuDeviceList().devices().size(), 2);
    QCOMPARE(window.dfuDeviceList().devices()[1].connected, 0);
    QCOMPARE(window.dfuDeviceList().devices()[1].serial, QString()); // no serial: listed all the same
    QCOMPARE(text(window, "lbl_DfuDeviceName"), QString::fromLatin1(Product));
    QCOMPARE(watcher.connectingOpen, 1);

    sim::World::instance().unplug(first.model);
    connectWindow(window, "Other Board");
    QCOMPARE(window.dfuDeviceList().devices().size(), 1);
    QCOMPARE(window.connectedDfuDevice().path, QString::fromStdString(second.path));
    QCOMPARE(window.dfuImageName(), QStringLiteral("other_fw"));
    QCOMPARE(dfuTarget.alternateCount, 1u);
    QCOMPARE(watcher.connectingOpen, 2);
}

void DfuWindowTest::twoRemovedAtOnce()
{
    MainWindow window;
    plugDfuDevice();
    plugDfuDevice();
    connectWindow(window);
    QTRY_COMPARE(window.dfuDeviceList().devices().size(), 2);
    sim::World::instance().unplugAll();
    QVERIFY(QMetaObject::invokeMethod(&window, "refreshDfuDevList"));
    QVERIFY(window.dfuDeviceList().devices().isEmpty());
    QCOMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
    QCOMPARE(dfuTarget.alternateCount, 0u); // the device's mapping was released with it
}

void DfuWindowTest::deviceReplacedOnTheSamePort()
{
    MainWindow window;
    const SimDfuDevice first = plugDfuDevice();
    connectWindow(window);
    // Between two refreshes, another product takes the same port: it is a new device.
    sim::World::instance().unplug(first.model);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.product = "Other Board";
    const auto other = std::make_shared<sim::DfuDeviceModel>(setup);
    QCOMPARE(sim::World::instance().plug(other, first.port).ports[0], first.port);
    QVERIFY(QMetaObject::invokeMethod(&window, "refreshDfuDevList"));
    connectWindow(window, "Other Board");
    QCOMPARE(window.connectedDfuDevice().path, QString::fromStdString(first.path));
    QCOMPARE(window.dfuImageName(), QStringLiteral("other_fw"));
    QCOMPARE(dfuTarget.alternateCount, 1u);
}

void DfuWindowTest::deviceGoneDuringConnecting()
{
    MainWindow window;
    window.show();
    const SimDfuDevice dev = plugDfuDevice();
    WhenConnecting unplug(window, [&] { sim::World::instance().unplug(dev.model); });
    // Seen done once the slot that showed "Connecting..." has returned.
    QTRY_VERIFY_WITH_TIMEOUT(unplug.done, 5000);
    QCOMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
    QCOMPARE(window.connectedDfuDevice().path, QString());
    QCOMPARE(window.dfuImageName(), QString());
}

void DfuWindowTest::productNotInConfiguration_data()
{
    QTest::addColumn<QByteArray>("product");
    QTest::newRow("listed without an image name") << QByteArray("Nameless Board");
    QTest::newRow("not listed") << QByteArray("Unlisted Board");
}

void DfuWindowTest::productNotInConfiguration()
{
    QFETCH(QByteArray, product);
    MainWindow window;
    // A listed product first: its permitted image name must not pass for the next one's.
    const SimDfuDevice listed = plugDfuDevice();
    connectWindow(window);
    QCOMPARE(window.dfuImageName(), QStringLiteral("fw_main_v2"));
    sim::World::instance().unplug(listed.model);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.product = product.toStdString();
    const SimDfuDevice dev = plugDfuDevice(setup);
    ModalAnswerer ok(QStringLiteral("OK"));
    QTRY_VERIFY_WITH_TIMEOUT(ok.box.seen, 10000);
    QCOMPARE(ok.box.title, QStringLiteral("Image name Error"));
    QCOMPARE(ok.box.text, QStringLiteral("DFU file Image name does not exist in Config file"));
    QCOMPARE(ok.box.icon, QMessageBox::Critical);
    QCOMPARE(ok.box.buttons, QStringList{"OK"});
    connectWindow(window, product.constData());
    QVERIFY(child(window, "groupBox_DfuMode")->isEnabled()); // connected all the same
    {
        ModalAnswerer again(QStringLiteral("OK"));
        for (int i = 0; i < 5; ++i)
            QVERIFY(QMetaObject::invokeMethod(&window, "refreshDfuDevList"));
        QVERIFY(!again.box.seen);
    }
    QCOMPARE(window.dfuImageName(), QString());

    // A file made for the product seen before is refused, and nothing is erased.
    const QString path = folder->file(QStringLiteral("fw_main_v2.dfu"));
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, pattern(100, 1)}}}}));
    chooseFile(window, path);
    ModalAnswerer wrongFile(QStringLiteral("OK"), QStringLiteral("Wrong File"));
    download(window);
    QVERIFY(wrongFile.box.seen);
    QCOMPARE(dev.model->erasedSectorCount(), 0u);
}

void DfuWindowTest::fileChoice()
{
    MainWindow window;
    plugDfuDevice();
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("image_v2.dfu"));
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, pattern(100, 1)}}}}));

    ModalAnswerer choose(path);
    child<QPushButton>(window, "pb_SelectDfuFile")->click();
    QCOMPARE(choose.box.title, QStringLiteral("Open Document"));
    QVERIFY(!choose.box.saving);
    QCOMPARE(choose.box.nameFilters, QStringList{"DFU files(*.dfu)"});
    QCOMPARE(choose.box.directory, QDir::currentPath());
    QCOMPARE(text(window, "labDFUfileName"), QStringLiteral("image_v2.dfu"));
    QCOMPARE(window.selectedDfuFile(), path);
    QVERIFY(child(window, "pb_DownloadDfu")->isEnabled());

    chooseFile(window, QString()); // cancelled: the choice is forgotten
    QCOMPARE(text(window, "labDFUfileName"), QStringLiteral("File Selected : None"));
    QCOMPARE(window.selectedDfuFile(), QString());
    QVERIFY(!child(window, "pb_DownloadDfu")->isEnabled());
}

void DfuWindowTest::wholeDownload_data()
{
    // The phase in which an application-mode board is plugged in (empty: none is).
    QTest::addColumn<QString>("plugDuring");
    QTest::newRow("alone") << QString();
    QTest::newRow("an application-mode board plugged in during the erase") << "Erasing...";
    QTest::newRow("an application-mode board plugged in during the write") << "Upgrading...";
}

void DfuWindowTest::wholeDownload()
{
    QFETCH(QString, plugDuring);
    MainWindow window;
    window.show();
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.timing = sim::Timing::Realistic; // long enough for every phase to be seen
    // The board connects in a nested refresh that takes more than a second: the write it
    // lands in must outlast it (the erase does).
    if (plugDuring == QLatin1String("Upgrading..."))
        setup.timeScale = 2;
    const SimDfuDevice dev = plugDfuDevice(setup);
    bool left = false;
    dev.model->setOnLeave([&] { left = true; });
    connectWindow(window);
    // Seven sectors: about three seconds of erasing and more than one of writing, so that
    // each phase is polled and its percentages show.
    QFile f1(TOLVEX_TESTDATA_DIR "/f1.bin");
    QVERIFY(f1.open(QIODevice::ReadOnly));
    const QByteArray e1 = f1.readAll(), e2 = pattern(300000, 8);
    const QString path = folder->file(QStringLiteral("fw_main_v2.dfu"));
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, e1}, {0x08004000, e2}}}}));
    chooseFile(window, path);

    WindowWatcher watcher(window);
    sim::Board appBoard;
    QString statusWhenConnected, phaseWhenConnected;
    QTimer plug;
    QObject::connect(&plug, &QTimer::timeout, [&] {
        const QString status = text(window, "lbl_Status");
        if (!appBoard.app && status == plugDuring) {
            appBoard = plugBoard(sim::HidAppDeviceSpec(), "V1.0", 50, std::string(), 7);
            phaseWhenConnected = status;
        } else if (appBoard.app && statusWhenConnected.isEmpty()
                   && text(window, "lbl_AppDeviceName") == QLatin1String(Product)) {
            statusWhenConnected = status;
        }
    });
    if (!plugDuring.isEmpty())
        plug.start(5);
    const SeenBox question = download(window);
    QCOMPARE(question.title, QStringLiteral("Download"));
    QCOMPARE(question.text, QStringLiteral("Are you sure, you want to Download \"fw_main_v2.dfu\" file into the device ?"));
    QCOMPARE(question.icon, QMessageBox::Question);
    QCOMPARE(question.buttons, (QStringList{"Yes", "No"}));

    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
    QVERIFY(child<QProgressBar>(window, "progressBar")->styleSheet().contains("rgb(0, 255, 0)"));
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 100);
    watcher.sample();
    QCOMPARE(watcher.statuses.mid(watcher.statuses.indexOf("Erasing...")),
             (QStringList{"Erasing...", "Upgrading...", "Upgrade completed"}));
    QVERIFY(std::any_of(watcher.percents.begin(), watcher.percents.end(), [](int p) { return p > 0 && p < 100; }));
    const QRegularExpression seconds(QStringLiteral("^[0-9]+s$"));
    for (const QString &t : watcher.times)
        QVERIFY2(seconds.match(t).hasMatch(), qPrintable(t));
    QVERIFY(watcher.times.contains(QStringLiteral("1s")));
    // The board plugged in meanwhile connected without taking the status line from the download.
    if (!plugDuring.isEmpty()) {
        QVERIFY(appBoard.app);
        QCOMPARE(statusWhenConnected, phaseWhenConnected);
    }

    // Sent back to application mode, the file label reset, the path kept.
    QTRY_VERIFY(left);
    QCOMPARE(text(window, "labDFUfileName"), QStringLiteral("File Selected : None"));
    QCOMPARE(window.selectedDfuFile(), path);
    QCOMPARE(window.connectedDfuDevice().path, QString());
    QCOMPARE(memory(dev, 1, Flash, 1000), e1);
    QCOMPARE(memory(dev, 1, 0x08004000, e2.size()), e2);
    QCOMPARE(dfuTarget.image, 0u);
    QCOMPARE(dfuTarget.secondImage, 0u);
    QTRY_COMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
}

void DfuWindowTest::imageNameCheck_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QByteArray>("imageName");
    QTest::addColumn<bool>("accepted");
    const QByteArray config = "Tolvex Demo Board,fw_main_v2\n";
    QTest::newRow("MAIN in fw_main_v2") << config << QByteArray("MAIN") << true;
    QTest::newRow("MAIN2 not in fw_main_v2") << config << QByteArray("MAIN2") << false;
    QTest::newRow("empty name") << config << QByteArray() << true;
    QTest::newRow("empty permitted name") << QByteArray("Tolvex Demo Board,\n") << QByteArray("MAIN") << false;
    // Image 0 "Option Bytes" is refused before image 1 "fw_main_v2" is looked at.
    QTest::newRow("refused image 0 of another writer's file") << config << QByteArray("*two-targets") << false;
}

void DfuWindowTest::imageNameCheck()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, imageName);
    QFETCH(bool, accepted);
    QVERIFY(folder->writeConfig(config));
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    {
        // Shown only for the empty permitted name.
        ModalAnswerer imageNameError(QStringLiteral("OK"), QStringLiteral("Image name Error"));
        connectWindow(window);
        QCOMPARE(imageNameError.box.seen, window.dfuImageName().isEmpty());
    }
    QString path = folder->file(QStringLiteral("named.dfu"));
    const QByteArray data = pattern(300, 2);
    if (imageName == "*two-targets")
        path = QStringLiteral(TOLVEX_TESTDATA_DIR "/two-targets.dfu");
    else
        QVERIFY(writeDfu(path, {{1, imageName, {{Flash, data}}}}));
    chooseFile(window, path);

    ModalAnswerer wrongFile(QStringLiteral("OK"), QStringLiteral("Wrong File"));
    download(window);
    if (accepted) {
        QVERIFY(!wrongFile.box.seen);
        QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
        QCOMPARE(memory(dev, 1, Flash, data.size()), data);
    } else {
        QVERIFY(wrongFile.box.seen);
        QCOMPARE(wrongFile.box.title, QStringLiteral("Wrong File"));
        QCOMPARE(wrongFile.box.text, QStringLiteral("Please select correct DFU file"));
        QCOMPARE(wrongFile.box.icon, QMessageBox::Critical);
        QCOMPARE(wrongFile.box.buttons, QStringList{"OK"});
        QCOMPARE(text(window, "lbl_Status"), QStringLiteral("No operation"));
        QCOMPARE(dev.model->erasedSectorCount(), 0u);
    }
    const update::History::Record row = rowOfDownload(path);
    QCOMPARE(row.result, accepted ? QStringLiteral("done") : QStringLiteral("refused"));
    // Met only in DFU mode: its boot loader's serial, and its own unknown (boot serials may be shared).
    QCOMPARE(row.bootSerial, QStringLiteral("TVX-0001"));
    QCOMPARE(row.serial, QString());
    QCOMPARE(row.location, QStringLiteral("1-1"));
}

// The window has always written a file made for other USB ids; it says so now.
void DfuWindowTest::otherUsbIdsWarned()
{
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("other-ids.dfu"));
    const QByteArray data = pattern(2000, 6);
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, data}}}}, 0x2A99));
    chooseFile(window, path);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("made for USB ids 1209:2a99, the device is 1209:2a17; it is "
                                                          "written all the same"));
    download(window);
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
    QCOMPARE(memory(dev, 1, Flash, data.size()), data);
}

void DfuWindowTest::signatureCheck_data()
{
    using namespace signing;
    QTest::addColumn<int>("signing");
    QTest::addColumn<QString>("warning"); // empty: accepted
    QTest::newRow("no key installed, file not signed") << int(NoKeysUnsigned) << QString();
    QTest::newRow("signed by a trusted key, prehashed") << int(Trusted) << QString();
    QTest::newRow("signed by a trusted key, legacy") << int(TrustedLegacy) << QString();
    QTest::newRow("signed by an unknown key") << int(UnknownKey) << "signature by an unknown key";
    QTest::newRow("the signature of another file") << int(OtherFile) << "does not match the file";
    QTest::newRow("a byte of the file changed") << int(ByteChanged) << "does not match the file";
    QTest::newRow("keys installed, no signature") << int(KeysButUnsigned) << "no signature file";
}

// With trusted keys installed only their files are written; a refusal shows the box of a
// refused image name, with the reason in the diagnostics, and erases nothing.
void DfuWindowTest::signatureCheck()
{
    using namespace signing;
    QFETCH(int, signing);
    QFETCH(QString, warning);
    QTemporaryDir keys;
    const TestKey maker, stranger;
    if (signing != NoKeysUnsigned)
        QVERIFY(writeFile(keys.filePath(QStringLiteral("maker.pub")), maker.publicFile()));
    dfulib::setTrustedKeyFolders({keys.path().toStdString()});
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("fw.dfu"));
    const QByteArray data = pattern(3000, 4);
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, data}}}}));
    QVERIFY(signFileAs(signing::Signing(signing), maker, stranger, path));
    chooseFile(window, path);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Download: .*fw.dfu refused: .*" + warning));
    ModalAnswerer wrongFile(QStringLiteral("OK"), QStringLiteral("Wrong File"));
    download(window);
    dfulib::setTrustedKeyFolders({});
    if (warning.isEmpty()) {
        QVERIFY(!wrongFile.box.seen);
        QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
        QCOMPARE(memory(dev, 1, Flash, data.size()), data);
    } else {
        QVERIFY(wrongFile.box.seen);
        QCOMPARE(wrongFile.box.text, QStringLiteral("Please select correct DFU file"));
        // The reason is one click away, not only on standard error.
        QVERIFY2(wrongFile.box.detailedText.contains(warning), qPrintable(wrongFile.box.detailedText));
        QCOMPARE(dev.model->erasedSectorCount(), 0u);
    }
}

void DfuWindowTest::imageOfLastAlternate_data()
{
    QTest::addColumn<bool>("twoAlternates");
    QTest::addColumn<int>("lastNumber");
    QTest::newRow("two alternates: image of alternate 1") << true << 1;
    QTest::newRow("one alternate: image of alternate 0") << false << 1;
    // The device's own numbers count, not positions.
    QTest::newRow("alternates numbered 0 and 5: image of alternate 5") << true << 5;
}

void DfuWindowTest::imageOfLastAlternate()
{
    QFETCH(bool, twoAlternates);
    QFETCH(int, lastNumber);
    MainWindow window;
    sim::DfuDeviceSpec setup = twoAlternates ? sim::DfuDeviceSpec::twoAlternates() : sim::DfuDeviceSpec::oneAlternate();
    if (lastNumber != 1)
        setup.quirks.alternateNumbers = {0, quint8(lastNumber)};
    const SimDfuDevice dev = plugDfuDevice(setup);
    connectWindow(window);
    const QByteArray zero = pattern(500, 3), one = pattern(700, 4);
    const QString path = folder->file(QStringLiteral("both.dfu"));
    // The last alternate's image first: what follows it in the file must not be taken instead.
    QVERIFY(writeDfu(path, {{quint8(lastNumber), "fw_main_v2", {{Flash, one}}}, {0, "fw_main_v2", {{Flash, zero}}}}));
    chooseFile(window, path);
    download(window);
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
    QCOMPARE(memory(dev, twoAlternates ? 1 : 0, Flash, 700), twoAlternates ? one : zero + QByteArray(200, '\xFF'));
}

void DfuWindowTest::downloadFailures_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<sim::DfuFaults>("faults");
    // Realistic timing and three sectors: the window learns of a loss a poll later.
    QTest::addColumn<bool>("realistic");
    // The operation was launched and failed inside; otherwise it was refused, nothing erased.
    QTest::addColumn<bool>("launched");
    QTest::addColumn<bool>("staysConnected");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<QString>("status");
    const QList<TargetSpec> small{{1, "fw_main_v2", {{Flash, pattern(9000, 5)}}}};
    const QByteArray large = dfuBytes({{1, "fw_main_v2", {{Flash, pattern(40000, 5)}}}});
    QList<TargetSpec> outside = small, noElements = small, emptyElements = small;
    outside[0].elements.append({0x08100000, QByteArray(4, 'x')});
    noElements[0].elements.clear();
    emptyElements[0].elements = {{Flash, QByteArray()}, {0x08004000, QByteArray()}};
    sim::DfuFaults none, eraseError, goneAfterErase, writeError, goneWriting, goneAfterLastErase;
    eraseError.eraseErrorAt = 1;
    goneAfterErase.disconnectAfterErase = 1;
    writeError.errorAtBlock = 3;
    goneWriting.disconnectAtBlock = 2;
    goneAfterLastErase.disconnectAfterErase = 3;
    // Failures inside an operation are reported with their cause.
    const QStringList failed{QStringLiteral("DFU: operation . on .* failed")};
    const QStringList noData{QStringLiteral("refused for Internal Flash: the image holds no data")};
    const QStringList overlap{QStringLiteral("elements 0 and 1 .* overlap at 0x08000800"),
        QStringLiteral("refused for Internal Flash: two elements of the image overlap")};
    QTest::newRow("not a .dfu file") << QByteArray("this is no firmware") << none << false << false << true
                                     << QStringList() << "Erase failed";
    QTest::newRow("no image in the file")
        << dfuBytes({}) << none << false << false << true << QStringList() << "Erase failed";
    QTest::newRow("launch refused: image outside the memory")
        << dfuBytes(outside) << none << false << false << true << QStringList() << "Erase failed";
    QTest::newRow("error during the erase")
        << dfuBytes(small) << eraseError << false << true << true << failed << "Erase failed";
    // One operation: the device gone once the erase is done fails the write that follows.
    QTest::newRow("device gone right after the erase")
        << dfuBytes(small) << goneAfterErase << false << true << false << failed << "Upgrade failed";
    QTest::newRow("error during the upgrade")
        << dfuBytes(small) << writeError << false << true << true << failed << "Upgrade failed";
    QTest::newRow("device gone during the upgrade")
        << dfuBytes(small) << goneWriting << false << true << false << failed << "Upgrade failed";
    // A file that would write nothing must not end green and send the device back.
    QTest::newRow("image without elements")
        << dfuBytes(noElements) << none << false << false << true << noData << "Erase failed";
    QTest::newRow("image of empty elements")
        << dfuBytes(emptyElements) << none << false << false << true << noData << "Erase failed";
    QTest::newRow("elements that overlap")
        << overlappingDfuFile(Flash) << none << false << false << true << overlap << "Erase failed";
    QTest::newRow("device gone after the last erase, seen a poll later")
        << large << goneAfterLastErase << true << true << false << failed << "Upgrade failed";
    QTest::newRow("device gone during the erase")
        << large << goneAfterErase << true << true << false << failed << "Erase failed";
}

void DfuWindowTest::downloadFailures()
{
    QFETCH(QByteArray, file);
    QFETCH(sim::DfuFaults, faults);
    QFETCH(bool, realistic);
    QFETCH(bool, launched);
    QFETCH(bool, staysConnected);
    QFETCH(QStringList, warnings);
    QFETCH(QString, status);
    QVERIFY(!file.isEmpty());
    MainWindow window;
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    if (realistic)
        setup.timing = sim::Timing::Realistic;
    const SimDfuDevice dev = plugDfuDevice(setup);
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("case.dfu"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file) == file.size());
    f.close();
    dev.model->setFaults(faults);
    chooseFile(window, path);
    for (const QString &warning : warnings)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    WindowWatcher watcher(window);
    download(window);
    watcher.sample();
    QCOMPARE(text(window, "lbl_Status"), status);
    // The failure names the phase the window showed last.
    if (launched) {
        QVERIFY2(watcher.statuses.size() >= 2, qPrintable(watcher.statuses.join(", ")));
        QCOMPARE(watcher.statuses.at(watcher.statuses.size() - 2),
            status.startsWith("Upgrade") ? QStringLiteral("Upgrading...") : QStringLiteral("Erasing..."));
    }
    auto *bar = child<QProgressBar>(window, "progressBar");
    QVERIFY(bar->styleSheet().contains("rgb(255, 0, 0)"));
    QVERIFY(bar->value() < 100);
    // Every image of the failed operation was released, once.
    QCOMPARE(dfuTarget.image, 0u);
    QCOMPARE(dfuTarget.secondImage, 0u);
    // Still in DFU mode and connected (unless the fault took the device away).
    if (staysConnected) {
        QVERIFY(dev.model->connected());
        QCOMPARE(window.connectedDfuDevice().connected, 1);
        QVERIFY(child(window, "groupBox_DfuMode")->isEnabled());
    }
    QCOMPARE(text(window, "labDFUfileName"), QStringLiteral("case.dfu"));
    if (!launched)
        QCOMPARE(dev.model->erasedSectorCount(), 0u);
    // The window records its downloads in the history that tolvex-dfu keeps too.
    const update::History::Record row = rowOfDownload(path);
    QCOMPARE(row.program, QStringLiteral("window"));
    QCOMPARE(row.result, QStringLiteral("failed"));
    QCOMPARE(row.message, status);
}

void DfuWindowTest::historyLockedDuringDownload_data()
{
    QTest::addColumn<bool>("beforeYes");
    QTest::newRow("locked before Yes") << true;
    QTest::newRow("locked in the middle of the download") << false;
}

// Another program holds the history's write lock past the busy timeout: the window's texts and
// cadence are those of any download, and the row arrives once the lock is let go.
void DfuWindowTest::historyLockedDuringDownload()
{
    QFETCH(bool, beforeYes);
    {
        // A history that exists: the lock is on it.
        update::History h(update::History::defaultPath());
        update::History::Record earlier;
        earlier.program = QStringLiteral("tolvex-dfu");
        QCOMPARE(h.put(earlier).message(), QString());
    }
    MainWindow window;
    window.show();
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.timing = sim::Timing::Realistic;
    setup.timeScale = 4; // long enough that each phase is seen for a poll or two
    const SimDfuDevice dev = plugDfuDevice(setup);
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("locked.dfu"));
    const QByteArray data = pattern(64 * 1024, 3);
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, data}}}}));
    chooseFile(window, path);

    std::unique_ptr<HeldLock> lock;
    if (beforeYes)
        lock = std::make_unique<HeldLock>(update::History::defaultPath());
    QTimer midway;
    midway.setSingleShot(true);
    QObject::connect(&midway, &QTimer::timeout, [&] {
        if (text(window, "lbl_Status") == QLatin1String("Upgrading..."))
            lock = std::make_unique<HeldLock>(update::History::defaultPath());
        else
            midway.start(5);
    });
    if (!beforeYes)
        midway.start(5);
    WindowWatcher watcher(window);
    download(window);
    watcher.sample();
    QVERIFY(lock && lock->held);
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
    QVERIFY2(watcher.statuses.contains("Erasing...") && watcher.statuses.contains("Upgrading..."),
        qPrintable(watcher.statuses.join(", ")));
    QVERIFY2(watcher.percents.size() > 3, "the progress was not shown as it went");
    QVERIFY2(watcher.times.size() > 1, qPrintable(watcher.times.join(", "))); // "0s", "1s", ...
    // The window's own steps are 10 ms of events; a slot waiting on the history would leave
    // seconds between two looks.
    QVERIFY2(watcher.longestGapMs < 500, qPrintable(QString::number(watcher.longestGapMs)));
    QCOMPARE(memory(dev, 1, Flash, data.size()), data);
    lock.reset();
    const update::History::Record row = rowOfDownload(path);
    QCOMPARE(row.result, QStringLiteral("done"));
    QCOMPARE(row.bytesVerified, qint64(data.size()));
}

void DfuWindowTest::buttonsIgnoredDuringDownload()
{
    MainWindow window;
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.timing = sim::Timing::Realistic;
    const SimDfuDevice dev = plugDfuDevice(setup);
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("fw.dfu"));
    const QByteArray data = pattern(4000, 6);
    QVERIFY(writeDfu(path, {{1, "fw_main_v2", {{Flash, data}}}}));
    chooseFile(window, path);

    // While the download waits, press every DFU button: none may start anything.
    int pressed = 0;
    QTimer presser;
    QObject::connect(&presser, &QTimer::timeout, [&] {
        if (text(window, "lbl_Status") != QLatin1String("Erasing...") || QApplication::activeModalWidget())
            return;
        presser.stop();
        child<QPushButton>(window, "pb_GoToAppMode")->click();
        child<QPushButton>(window, "pb_DownloadDfu")->click();
        QMetaObject::invokeMethod(&window, "on_pb_UploadDfu_clicked");
        child<QPushButton>(window, "pb_SelectDfuFile")->click();
        pressed = 4;
    });
    presser.start(5);
    ModalAnswerer otherFile(folder->file(QStringLiteral("other.dfu")), QStringLiteral("Open Document"));
    download(window);
    QCOMPARE(pressed, 4);
    QVERIFY(!otherFile.box.seen);
    QCOMPARE(window.selectedDfuFile(), path);
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upgrade completed"));
    QCOMPARE(memory(dev, 1, Flash, data.size()), data);
}

void DfuWindowTest::goToAppModeForgetsTheDevice()
{
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    bool left = false;
    dev.model->setOnLeave([&] { left = true; });
    connectWindow(window);
    child<QPushButton>(window, "pb_GoToAppMode")->click();
    QCOMPARE(window.connectedDfuDevice().path, QString());
    QCOMPARE(window.connectedDfuDevice().connected, 0);
    QCOMPARE(window.dfuDeviceList().selectedPosition(), -1);
    QCOMPARE(window.dfuDeviceList().devices()[0].connected, 0);
    QTRY_VERIFY(left);
    QTRY_COMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
}

void DfuWindowTest::notReopenedWhileReturning()
{
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    bool left = false;
    dev.model->setOnLeave([&] { left = true; });
    connectWindow(window);
    // The device stays busy with the return, and listed.
    sim::DfuFaults busy;
    busy.busyForever = true;
    dev.model->setFaults(busy);
    child<QPushButton>(window, "pb_GoToAppMode")->click();
    // Nothing may be done with it meanwhile: the group shows no device at once.
    QCOMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
    for (int i = 0; i < 3; ++i)
        QVERIFY(QMetaObject::invokeMethod(&window, "refreshDfuDevList"));
    QCOMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QVERIFY(!child(window, "groupBox_DfuMode")->isEnabled());
    QCOMPARE(window.dfuDeviceList().devices().size(), 1);
    QCOMPARE(window.dfuDeviceList().selectedPosition(), -1);
    QCOMPARE(window.connectedDfuDevice().path, QString());

    dev.model->setFaults(sim::DfuFaults());
    QTRY_VERIFY(left);
    QTRY_COMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
    QCOMPARE(window.connectedDfuDevice().path, QString());
}

void DfuWindowTest::uploadByName()
{
    MainWindow window;
    const SimDfuDevice dev = plugDfuDevice();
    const QByteArray flash = pattern(1024 * 1024, 7);
    QVERIFY(dev.model->writeMemory(1, Flash, reinterpret_cast<const uint8_t *>(flash.constData()), size_t(flash.size())));
    connectWindow(window);
    const QString path = folder->file(QStringLiteral("read-back.dfu"));
    ModalAnswerer save(path);
    QVERIFY(QMetaObject::invokeMethod(&window, "on_pb_UploadDfu_clicked"));
    QVERIFY(save.box.saving);
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upload completed"));
    QCOMPARE(child<QProgressBar>(window, "progressBar")->value(), 100);
    QVERIFY(child<QProgressBar>(window, "progressBar")->styleSheet().contains("rgb(0, 255, 0)"));
    QCOMPARE(dfuTarget.uploadPath, path);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    dfulib::FileView view;
    QCOMPARE(
        dfulib::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view), DFU_OK);
    QCOMPARE(view.idVendor, quint16(0x1209));
    QCOMPARE(view.idProduct, quint16(0x2A17));
    QCOMPARE(view.bcdDevice, quint16(0x0200));
    QCOMPARE(view.targets.size(), size_t(1));
    QCOMPARE(view.targets[0].alternate, quint8(1));
    QCOMPARE(QByteArray::fromStdString(view.targets[0].name), QByteArray("Internal Flash"));
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(view.targets[0].elements[0].data), 1024 * 1024), flash);
    QCOMPARE(dfuTarget.image, 0u);
    QVERIFY(dev.model->connected()); // the upload leaves the device in DFU mode
}

void DfuWindowTest::uploadToUnwritableDestination()
{
    MainWindow window;
    plugDfuDevice();
    connectWindow(window);
    // Below a regular file: no folder to write in, even for root.
    const QString path = folder->file(QStringLiteral("Config.ini/upload.dfu"));
    ModalAnswerer save(path);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Upload: cannot write .*Config.ini/upload.dfu"));
    QVERIFY(QMetaObject::invokeMethod(&window, "on_pb_UploadDfu_clicked"));
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("Upload failed"));
    QVERIFY(child<QProgressBar>(window, "progressBar")->styleSheet().contains("rgb(255, 0, 0)"));
    QCOMPARE(dfuTarget.image, 0u);
}

QTEST_MAIN(DfuWindowTest)
#include "tst_dfuwindow.moc"
