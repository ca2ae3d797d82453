// DfuTarget on its own: enumeration filters, the codes of openDevice, and the refusals
// of the launches that have no device or a path too long for the context.

#include "DfuTarget.h"
#include "SimDfu.h"

#include <QTest>

class DfuTargetTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void enumerationFilters();
    void openDeviceCodes_data();
    void openDeviceCodes();
    void launchesNeedADevice();
};

void DfuTargetTest::cleanup()
{
    sim::World::instance().unplugAll();
    dfuTarget.releaseDevice();
}

void DfuTargetTest::enumerationFilters()
{
    QVERIFY(enumerateDfuDevices(QStringLiteral("Corvantis"), QString()).isEmpty());
    sim::DfuDeviceSpec lower = sim::DfuDeviceSpec::twoAlternates();
    lower.manufacturer = "corvantis";
    plugDfuDevice(lower);
    sim::DfuDeviceSpec noSerial = sim::DfuDeviceSpec::oneAlternate();
    noSerial.product = "";
    noSerial.serial = "";
    const SimDfuDevice b = plugDfuDevice(noSerial);
    const SimDfuDevice c = plugDfuDevice();

    const QList<DfuDeviceRecord> all = enumerateDfuDevices(QStringLiteral("Corvantis"), QString());
    QCOMPARE(all.size(), 2); // the manufacturer differs in letter case only: not listed
    QVERIFY(all[0] == (DfuDeviceRecord{"Corvantis", "", "", QString::fromStdString(b.path), b.busAddress}));
    QVERIFY(all[1] == (DfuDeviceRecord{"Corvantis", "Tolvex Demo Board", "TVX-0001", QString::fromStdString(c.path),
                                      c.busAddress}));
    QCOMPARE(enumerateDfuDevices(QString(), QString()).size(), 3);
    QCOMPARE(enumerateDfuDevices(QString(), QString())[0].manufacturer, QString());
    QCOMPARE(enumerateDfuDevices(QStringLiteral("Corvantis"), QStringLiteral("Tolvex Demo Board")).size(), 1);

    // With a cache, a device seen before is asked nothing; plugged in again, it is asked anew.
    DfuDescriptorCache cache;
    enumerateDfuDevices(QStringLiteral("Corvantis"), QString(), &cache);
    const uint64_t before = c.model->controlTransferCount();
    QCOMPARE(enumerateDfuDevices(QStringLiteral("Corvantis"), QString(), &cache).size(), 2);
    QCOMPARE(c.model->controlTransferCount(), before);
    sim::World::instance().unplug(c.model);
    sim::World::instance().plug(c.model, 3);
    QCOMPARE(enumerateDfuDevices(QStringLiteral("Corvantis"), QString(), &cache).size(), 2);
    QVERIFY(c.model->controlTransferCount() > before);

    // A device that cannot be read yet (no permission before the udev rules are reloaded)
    // is warned of once and read again later: not on every refresh, not never.
    c.model->setOpenDenied(true);
    sim::World::instance().unplug(c.model);
    sim::World::instance().plug(c.model, 3);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("permission denied"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot read the strings of the device"));
    QCOMPARE(enumerateDfuDevices(QStringLiteral("Corvantis"), QString(), &cache).size(), 1);
    c.model->setOpenDenied(false);
    const uint64_t denied = c.model->controlTransferCount();
    QCOMPARE(enumerateDfuDevices(QStringLiteral("Corvantis"), QString(), &cache).size(), 1);
    QCOMPARE(c.model->controlTransferCount(), denied);
    QTRY_COMPARE_WITH_TIMEOUT(enumerateDfuDevices(QStringLiteral("Corvantis"), QString(), &cache).size(), 2, 8000);
}

void DfuTargetTest::openDeviceCodes_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("functionalLength"); // of the DFU functional descriptor; 0: 9, as usual
    QTest::addColumn<QString>("layout"); // the second alternate's string; empty: as built
    QTest::addColumn<bool>("openDenied");
    QTest::addColumn<QString>("warning"); // what the open says, as a pattern; empty: nothing
    QTest::addColumn<int>("code");
    const QString speaks = QStringLiteral("speaks DFU version");
    QTest::newRow("0x0110") << 0x0110 << 0 << QString() << false << speaks << int(DfuTarget::VersionNotSupported);
    QTest::newRow("0x011A") << 0x011A << 0 << QString() << false << QString() << int(DfuTarget::Connected);
    QTest::newRow("0x011F") << 0x011F << 0 << QString() << false << QString() << int(DfuTarget::Connected);
    QTest::newRow("0x0120") << 0x0120 << 0 << QString() << false << speaks << int(DfuTarget::VersionNotSupported);
    QTest::newRow("layout unreadable") << 0x011A << 0 << QStringLiteral("@Internal Flash/0x08000000") << false
                                       << QStringLiteral("malformed memory layout") << int(DfuTarget::NoMapping);
    QTest::newRow("descriptor malformed")
        << 0x011A << 12 << QString() << false << QString() << int(DfuTarget::NoDescriptor);
    QTest::newRow("cannot be opened") << 0x011A << 0 << QString() << true
                                      << QStringLiteral("permission denied.*udev rules")
                                      << int(DfuTarget::NoDescriptor);
    QTest::newRow("7-byte descriptor (USB DFU 1.0)")
        << 0x011A << 7 << QString() << false << QStringLiteral("speaks DFU version 1.00")
        << int(DfuTarget::VersionNotSupported);
}

void DfuTargetTest::openDeviceCodes()
{
    QFETCH(int, version);
    QFETCH(int, functionalLength);
    QFETCH(QString, layout);
    QFETCH(bool, openDenied);
    QFETCH(QString, warning);
    QFETCH(int, code);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.dfuVersion = uint16_t(version);
    setup.release = 0x0321;
    if (functionalLength)
        setup.functionalLength = uint8_t(functionalLength);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    const SimDfuDevice dev = plugDfuDevice(setup);
    if (!layout.isEmpty())
        dev.model->setLayoutString(1, layout.toStdString());
    dev.model->setOpenDenied(openDenied);
    QCOMPARE(dfuTarget.openDevice(QString::fromStdString(dev.path)), code);
    QCOMPARE(dfuTarget.alternateCount, code == DfuTarget::Connected ? 2u : 0u);
    QCOMPARE(dfuTarget.deviceRelease, code == DfuTarget::Connected || code == DfuTarget::NoMapping ? quint16(0x0321)
                                                                                                    : dfuTarget.deviceRelease);
}

void DfuTargetTest::launchesNeedADevice()
{
    QCOMPARE(dfuTarget.alternateCount, 0u);
    QCOMPARE(dfuTarget.launchReturn(QStringLiteral("usb:1-1:1.0")), int(DfuTarget::ReturnRefused));
    QCOMPARE(dfuTarget.launchDownload(QStringLiteral("x.dfu"), QStringLiteral("fw"), QStringLiteral("usb:1-1:1.0")),
             int(DfuTarget::LaunchRefused));
    QCOMPARE(dfuTarget.launchUpload(QStringLiteral("x.dfu"), QStringLiteral("usb:1-1:1.0")),
             int(DfuTarget::UploadRefused));
    QCOMPARE(dfuTarget.pollOperation(), int(DfuTarget::PollError)); // nothing launched

    const SimDfuDevice dev = plugDfuDevice();
    QCOMPARE(dfuTarget.openDevice(QString::fromStdString(dev.path)), int(DfuTarget::Connected));
    const QString longPath(260, QLatin1Char('p'));
    QCOMPARE(dfuTarget.launchReturn(longPath), int(DfuTarget::ReturnRefused));
    QCOMPARE(dfuTarget.launchUpload(QStringLiteral("x.dfu"), longPath), int(DfuTarget::UploadRefused));
    QCOMPARE(dfuTarget.launchDownload(QStringLiteral(TOLVEX_TESTDATA_DIR "/one-target.dfu"), QStringLiteral("MAIN"), longPath),
             int(DfuTarget::LaunchRefused));
    QCOMPARE(dfuTarget.image, 0u);
    QVERIFY(dev.model->connected());

    // Another device plugged into the same port since the connection is not worked on
    // with the first one's mapping.
    const QString path = QString::fromStdString(dev.path);
    sim::World::instance().unplug(dev.model);
    const auto other = std::make_shared<sim::DfuDeviceModel>(sim::DfuDeviceSpec::twoAlternates());
    QCOMPARE(sim::World::instance().plug(other, dev.port).ports[0], dev.port);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not the one connected"));
    QCOMPARE(dfuTarget.launchReturn(path), int(DfuTarget::ReturnRefused));
    QCOMPARE(other->controlTransferCount(), 0u);
}

QTEST_GUILESS_MAIN(DfuTargetTest)
#include "tst_dfutarget.moc"
