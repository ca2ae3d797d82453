// The application-mode side of the window on simulated devices: the device list and its
// connection behind "Connecting...", the version shown, both device families, failures
// that must not show a device, and the way into DFU mode and back.

#include "MainWindow.h"
#include "SimHid.h"
#include "TestSupport.h"
#include "WindowWatcher.h"

#include <QGroupBox>
#include <QPushButton>
#include <QTest>

Q_DECLARE_METATYPE(sim::HidFaults)

namespace {

const char VersionPrefix[] = "Current Firmware Version : ";

bool appGroupEnabled(QWidget &window)
{
    return child(window, "groupBox_AppMode")->isEnabled();
}

sim::HidAppDeviceSpec named(const char *product, bool shortReports)
{
    sim::HidAppDeviceSpec setup = shortReports ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec();
    setup.product = product;
    return setup;
}

} // namespace

class AppWindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void noDevice();
    void deviceConnectsBehindConnecting();
    void familyChosenByName_data();
    void familyChosenByName();
    void twoDevicesThenBothUnplugged();
    void shownDeviceLeavesOtherCannotBeShown_data();
    void shownDeviceLeavesOtherCannotBeShown();
    void failedQueryIsNotRepeatedUntilReplugged();
    void neverAnsweringDeviceDoesNotHang();
    void slowDeviceIsAskedAgain_data();
    void slowDeviceIsAskedAgain();
    void deviceGoneDuringConnecting();
    void goToDfuModeAndBack_data();
    void goToDfuModeAndBack();
    void refusedEntryWarns();

private:
    // Waits until the window shows the device with this version text.
    void waitShown(MainWindow &window, const char *product, const QString &version);

    WorkingFolder *folder = nullptr;
};

void AppWindowTest::init()
{
    folder = new WorkingFolder;
    QVERIFY(folder->writeConfig("Tolvex Demo Board,fw_main_v2\n"));
}

void AppWindowTest::cleanup()
{
    hidTransport.close();
    sim::World::instance().unplugAll();
    delete folder;
    folder = nullptr;
}

void AppWindowTest::waitShown(MainWindow &window, const char *product, const QString &version)
{
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "labfirwareVer"), QLatin1String(VersionPrefix) + version, 10000);
    QCOMPARE(text(window, "lbl_AppDeviceName"), QString::fromLatin1(product));
    QVERIFY(appGroupEnabled(window));
    QTRY_VERIFY(!QApplication::activeModalWidget());
}

void AppWindowTest::noDevice()
{
    MainWindow window;
    for (int i = 0; i < 3; ++i)
        QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    QVERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
    QCOMPARE(text(window, "labfirwareVer"), QString());
    QVERIFY(window.appDeviceList().devices().isEmpty());
    QVERIFY(!hidTransport.isOpen());
}

void AppWindowTest::deviceConnectsBehindConnecting()
{
    const sim::Board board = plugBoard();
    // The version text with zero bytes inside, as the firmware may lay it out.
    const uint8_t version[9] = {0x56, 0x31, 0x00, 0x2E, 0x32, 0x00, 0x00, 0x00, 0x00};
    QVERIFY(board.dfu->writeMemory(1, sim::HidAppDeviceModel::VersionTextAddress, version, sizeof version));

    MainWindow window;
    window.show();
    WindowWatcher watcher(window);
    waitShown(window, "Tolvex Demo Board", QStringLiteral("V1.2"));
    watcher.sample();
    QCOMPARE(watcher.connectingShownMs.size(), 1);
    QVERIFY2(watcher.connectingShownMs.first() >= 900, qPrintable(QString::number(watcher.connectingShownMs.first())));
    QCOMPARE(text(window, "lbl_Status"), QStringLiteral("No operation"));

    const QList<QByteArray> sent = requestsOf(board);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().left(6), QByteArray::fromHex("a1") + sent.first().mid(1, 1) + QByteArray::fromHex("10efa55a"));
    QCOMPARE(window.appDeviceList().devices().size(), 1);
    QCOMPARE(window.appDeviceList().selectedDevice().connected, 1);
    QVERIFY(hidTransport.isOpen());

    // Refreshes while it stays change nothing and ask nothing.
    for (int i = 0; i < 3; ++i)
        QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    QCOMPARE(requestsOf(board).size(), 1);
}

void AppWindowTest::familyChosenByName_data()
{
    QTest::addColumn<QString>("product");
    QTest::addColumn<bool>("shortReports");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("version");
    QTest::newRow("OtterNINE") << "OtterNINE Sensor" << true << 0x66 << 8 << QString();
    QTest::newRow("words around OtterNINE") << "Mk2 OtterNINE Pro" << true << 0x66 << 8 << QString();
    QTest::newRow("other letter case") << "Otternine Sensor" << false << 0x10 << 16 << QStringLiteral("V1.0");
}

void AppWindowTest::familyChosenByName()
{
    QFETCH(QString, product);
    QFETCH(bool, shortReports);
    QFETCH(int, code);
    QFETCH(int, size);
    QFETCH(QString, version);
    const QByteArray name = product.toLatin1();
    const sim::Board board = plugBoard(named(name.constData(), shortReports));

    MainWindow window;
    waitShown(window, name.constData(), version);
    const QList<QByteArray> sent = requestsOf(board);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().size(), size);
    QCOMPARE(int(quint8(sent.first().at(2))), code);
    QCOMPARE(window.appProductName(), product);
}

void AppWindowTest::twoDevicesThenBothUnplugged()
{
    const sim::Board first = plugBoard(named("Tolvex Demo Board", false), "V2.0");
    const sim::Board second = plugBoard(named("Tolvex Second Board", false), "V3.0");
    MainWindow window;
    waitShown(window, "Tolvex Demo Board", QStringLiteral("V2.0"));
    QCOMPARE(window.appDeviceList().devices().size(), 2);
    QCOMPARE(window.appDeviceList().devices().at(1).product, QStringLiteral("Tolvex Second Board"));
    QCOMPARE(window.appDeviceList().devices().at(1).connected, 0);
    QVERIFY(second.app->requests().empty());

    sim::World::instance().unplug(first.app);
    sim::World::instance().unplug(second.app);
    QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    QVERIFY(window.appDeviceList().devices().isEmpty());
    QVERIFY(!hidTransport.isOpen());
    QVERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
    QCOMPARE(text(window, "labfirwareVer"), QString());
}

void AppWindowTest::shownDeviceLeavesOtherCannotBeShown_data()
{
    QTest::addColumn<bool>("openDenied");
    QTest::addColumn<sim::HidFaults>("faults");
    QTest::addColumn<QString>("warning"); // as a pattern; empty: none
    QTest::newRow("the other cannot be opened") << true << sim::HidFaults() << QStringLiteral("HID: cannot open");
    QTest::newRow("the other does not answer")
        << false << faultOf(&sim::HidFaults::noAnswer, 1) << QStringLiteral("no answer within");
    QTest::newRow("the other answers with an error status")
        << false << faultOf(&sim::HidFaults::failStatus, 1) << QString();
}

// The device on show leaves while another stays that cannot be shown: the window must not
// keep the first one's name, version and "Go to DFU mode" over the second.
void AppWindowTest::shownDeviceLeavesOtherCannotBeShown()
{
    QFETCH(bool, openDenied);
    QFETCH(sim::HidFaults, faults);
    QFETCH(QString, warning);
    const sim::Board first = plugBoard(named("Tolvex Demo Board", false), "V2.0");
    const sim::Board second = plugBoard(named("Tolvex Second Board", false), "V3.0");
    MainWindow window;
    waitShown(window, "Tolvex Demo Board", QStringLiteral("V2.0"));
    second.app->setOpenDenied(openDenied);
    second.app->setFaults(faults);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    sim::World::instance().unplug(first.app);
    QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    QVERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
    QCOMPARE(text(window, "labfirwareVer"), QString());
}

void AppWindowTest::failedQueryIsNotRepeatedUntilReplugged()
{
    const sim::Board board = plugBoard();
    board.app->setFaults(faultOf(&sim::HidFaults::failStatus, 1));

    MainWindow window;
    QTRY_COMPARE(requestsOf(board).size(), 1);
    for (int i = 0; i < 4; ++i)
        QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    QTest::qWait(600);
    QCOMPARE(requestsOf(board).size(), 1);
    QVERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
    QCOMPARE(window.appDeviceList().selectedDevice().connected, 1);

    sim::World::instance().unplug(board.app);
    QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    QVERIFY(window.appDeviceList().devices().isEmpty());
    sim::World::instance().plug(board.app);
    waitShown(window, "Tolvex Demo Board", QStringLiteral("V1.0"));
    QCOMPARE(requestsOf(board).size(), 2);
}

void AppWindowTest::neverAnsweringDeviceDoesNotHang()
{
    const sim::Board board = plugBoard();
    board.app->setFaults(faultOf(&sim::HidFaults::noAnswer, 1));

    MainWindow window;
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(50);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no answer within")));
    QTRY_COMPARE(requestsOf(board).size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!hidTransport.isOpen(), 5000);
    // The window kept running its events while it waited, and shows no device.
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QVERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
}

void AppWindowTest::slowDeviceIsAskedAgain_data()
{
    QTest::addColumn<bool>("ever");
    QTest::newRow("first answer after 1.5 s") << true;
    QTest::newRow("never answers") << false;
}

void AppWindowTest::slowDeviceIsAskedAgain()
{
    QFETCH(bool, ever);
    const sim::Board board = plugBoard();
    sim::HidFaults faults;
    faults.lateAnswerMs = ever ? 1500 : 0;
    faults.noAnswer = ever ? 0 : 100;
    board.app->setFaults(faults);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no answer within")));
    MainWindow window;
    if (ever) {
        // Given up after a second, asked again by a later refresh, and shown.
        waitShown(window, "Tolvex Demo Board", QStringLiteral("V1.0"));
        QVERIFY(requestsOf(board).size() >= 2);
        return;
    }
    // Three tries per plug-in, then one warning and silence until it is replugged.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no answer within")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("no answer within")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("did not answer 3 times")));
    QTRY_COMPARE_WITH_TIMEOUT(window.appDeviceList().selectedDevice().silentTries, 3, 10000);
    QTest::qWait(1200);
    QCOMPARE(requestsOf(board).size(), 3);
    QVERIFY(!appGroupEnabled(window));

    sim::World::instance().unplug(board.app);
    QVERIFY(QMetaObject::invokeMethod(&window, "refreshHidDevList"));
    board.app->setFaults(sim::HidFaults());
    sim::World::instance().plug(board.app);
    waitShown(window, "Tolvex Demo Board", QStringLiteral("V1.0"));
}

void AppWindowTest::deviceGoneDuringConnecting()
{
    const sim::Board board = plugBoard();
    MainWindow window;
    window.show();
    WhenConnecting unplug(window, [&] { sim::World::instance().unplug(board.app); });
    // Seen done once the slot that showed "Connecting..." has returned: no name of a
    // device that left may be on show then.
    QTRY_VERIFY_WITH_TIMEOUT(unplug.done, 5000);
    QVERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
    QCOMPARE(text(window, "labfirwareVer"), QString());
}

void AppWindowTest::goToDfuModeAndBack_data()
{
    QTest::addColumn<bool>("otterNine");
    QTest::newRow("standard frames") << false;
    QTest::newRow("OtterNINE") << true;
}

void AppWindowTest::goToDfuModeAndBack()
{
    QFETCH(bool, otterNine);
    const sim::HidAppDeviceSpec setup = otterNine ? sim::HidAppDeviceSpec::otterNine() : sim::HidAppDeviceSpec();
    const sim::Board board = plugBoard(setup, "V1.0");
    MainWindow window;
    const QString version = otterNine ? QString() : QStringLiteral("V1.0");
    waitShown(window, setup.product.c_str(), version);
    board.app->clearRequests();

    child<QPushButton>(window, "pb_GoToDfuMode")->click();
    const QList<QByteArray> sent = requestsOf(board);
    QCOMPARE(sent.size(), 2);
    const int size = otterNine ? 8 : 16;
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(sent[i].size(), size);
        QCOMPARE(quint8(sent[i][0]), quint8(otterNine ? 0x04 : 0xA1));
        QCOMPARE(quint8(sent[i][2]), quint8(0xE0 + i));
    }
    QCOMPARE(quint8(sent[1][1]), quint8(sent[0][1] + 1));
    QVERIFY(!hidTransport.isOpen());

    // The application side empties, the boot loader shows in the DFU-mode group.
    QTRY_COMPARE_WITH_TIMEOUT(text(window, "lbl_DfuDeviceName"), QStringLiteral("Tolvex Demo Board"), 10000);
    QTRY_VERIFY(!appGroupEnabled(window));
    QCOMPARE(text(window, "lbl_AppDeviceName"), QStringLiteral("N/A"));
    QTRY_VERIFY(!QApplication::activeModalWidget());

    // Back to application mode: the same device returns and is shown again.
    child<QPushButton>(window, "pb_GoToAppMode")->click();
    waitShown(window, setup.product.c_str(), version);
    QTRY_COMPARE(text(window, "lbl_DfuDeviceName"), QStringLiteral("N/A"));
}

void AppWindowTest::refusedEntryWarns()
{
    const sim::Board board = plugBoard();
    MainWindow window;
    waitShown(window, "Tolvex Demo Board", QStringLiteral("V1.0"));
    board.app->clearRequests();
    board.app->setFaults(faultOf(&sim::HidFaults::failStatus, 1));

    ModalAnswerer ok(QStringLiteral("OK"), QStringLiteral("Enter DFU Mode"));
    child<QPushButton>(window, "pb_GoToDfuMode")->click();
    QVERIFY(ok.box.seen);
    QCOMPARE(ok.box.text, QStringLiteral("Enter DFU Fail."));
    QCOMPARE(ok.box.icon, QMessageBox::Warning);
    QCOMPARE(ok.box.buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(requestsOf(board).size(), 1);
    QVERIFY(hidTransport.isOpen());
    QVERIFY(board.app->connected());
}

QTEST_MAIN(AppWindowTest)
#include "tst_appwindow.moc"
