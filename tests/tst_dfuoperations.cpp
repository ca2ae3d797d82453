// The DFU library against the simulated device: enumeration, descriptors, mapping, and
// erase, upgrade with verify, upload and return, with every injected fault.

#include "Bytes.h"
#include "DfuHandles.h"
#include "DfuFileFormat.h"
#include "LibraryLog_p.h"
#include "SimDfu.h"
#include "Unpacked.h"

#include <libusb.h>

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

Q_DECLARE_METATYPE(sim::DfuFaults)
Q_DECLARE_METATYPE(sim::DfuDeviceSpec)

namespace {

// The library's diagnostics in Qt's message output, as the program's are.
const bool libraryLogRouted = (routeDfuLibraryLog(), true);

constexpr uint32_t Flash = 0x08000000;

DfuImageHandle imageWith(uint8_t alternate, const QList<QPair<uint32_t, QByteArray>> &elements)
{
    DfuImageHandle image = 0;
    DFUFILES_CreateImage(alternate, "fw_main_v2", &image);
    for (const auto &e : elements)
        DFUFILES_AppendElement(image, e.first, reinterpret_cast<const uint8_t *>(e.second.constData()),
                               uint32_t(e.second.size()));
    return image;
}

using Mapping = dfulib::Mapping;

// Runs the download operation of `image` (filtered for it here) on the device.
DfuOperationContext download(const SimDfuDevice &d, const Mapping &m, DfuImageHandle image, int32_t flag = 0)
{
    const DfuStatus filtered = DFUFILES_FilterImageForOperation(image, &m.last(), DFU_OPERATION_DOWNLOAD, 0);
    if (filtered != DFU_OK) {
        DfuOperationContext c{};
        c.errorStatus = filtered;
        return c;
    }
    return runOperation(DFU_OPERATION_DOWNLOAD, image, d.path, 60000, 1, flag);
}

// `data` with the byte at `at` changed and the four after it chosen so that the CRC-32 of
// the whole `length` bytes from `from` (the erased value outside `data`) stays the same.
// CRC-32 is linear over equal lengths, so the four bytes solve 32 equations in 32 bits.
QByteArray crcTwin(const QByteArray &data, int at, int from, int length)
{
    const auto crcOfDifference = [&](const QByteArray &difference) {
        QByteArray spread(length, '\0');
        spread.replace(from, difference.size(), difference);
        const QByteArray zero(length, '\0');
        return uint32_t(crc32(0, reinterpret_cast<const Bytef *>(spread.constData()), uInt(length)))
               ^ uint32_t(crc32(0, reinterpret_cast<const Bytef *>(zero.constData()), uInt(length)));
    };
    QByteArray delta(data.size(), '\0');
    delta[at] = 0x5A;
    uint32_t target = crcOfDifference(delta);
    // Columns: the CRC difference of each single bit of the four bytes; eliminate to solve.
    std::vector<std::pair<uint32_t, uint32_t>> rows; // (crc difference, bits of the four bytes)
    for (int bit = 0; bit < 32; ++bit) {
        QByteArray d(data.size(), '\0');
        d[at + 1 + bit / 8] = char(1 << (bit % 8));
        rows.emplace_back(crcOfDifference(d), 1u << bit);
    }
    uint32_t solution = 0;
    for (int bit = 31; bit >= 0; --bit) {
        const auto pivot = std::find_if(rows.begin(), rows.end(), [&](const auto &r) { return r.first >> bit & 1; });
        if (pivot == rows.end())
            continue;
        const auto chosen = *pivot;
        rows.erase(pivot);
        for (auto &r : rows) {
            if (r.first >> bit & 1) {
                r.first ^= chosen.first;
                r.second ^= chosen.second;
            }
        }
        if (target >> bit & 1) {
            target ^= chosen.first;
            solution ^= chosen.second;
        }
    }
    QByteArray twin = data;
    twin[at] = char(twin[at] ^ 0x5A);
    for (int i = 0; i < 4; ++i)
        twin[at + 1 + i] = char(twin[at + 1 + i] ^ char(solution >> (8 * i)));
    return twin;
}

} // namespace

class DfuOperationsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();

    void enumeratesAndDescribes();
    void stringsAreBoundedAndTerminated();
    void mappingOfEachVariant();
    void malformedDevicesAreRefused();
    void permissionDeniedWarns();
    void downloadErasesExactlyAndWritesTheImage();
    void downloadOfAnotherWritersFile();
    void romTimingVariants_data();
    void romTimingVariants();
    void verifyFailures_data();
    void verifyFailures();
    void faultsEndInErrors_data();
    void faultsEndInErrors();
    void launchRefusesBadImages();
    void uploadThenFileGivesMemoryBack();
    void stopDuringTransfer();
    void returnLeavesDfuMode();
    void goneDeviceFailsCleanly();
    void quirksOnTheWholeRoad_data();
    void quirksOnTheWholeRoad();
    void stopEndsAWaitOfHours();
    void skipsWhatIsAlreadyThere_data();
    void skipsWhatIsAlreadyThere();
    void nothingOutlivesAPortSwap();
    void nothingOutlivesBetweenTwoImages();
    void nothingOutlivesACrcTwin_data();
    void nothingOutlivesACrcTwin();
    void earlyRequestsNeedAReadBack_data();
    void earlyRequestsNeedAReadBack();
    void errorBehindAStallStands();
};

void DfuOperationsTest::cleanup()
{
    sim::World::instance().unplugAll();
    DFUOPS_SetBusyLimitMs(120000);
    DFUOPS_SetHonourPollTimeouts(false);
}

void DfuOperationsTest::enumeratesAndDescribes()
{
    const SimDfuDevice a = plugDfuDevice();
    const SimDfuDevice b = plugDfuDevice(sim::DfuDeviceSpec::oneAlternate());
    DfuPresentInterface present[4];
    uint32_t count = 0;
    QCOMPARE(DFUDEV_Enumerate(present, 4, &count), DFU_OK);
    QCOMPARE(count, 2u);
    QCOMPARE(QByteArray(present[0].path), QByteArray::fromStdString(a.path));
    QCOMPARE(QByteArray(present[1].path), QByteArray::fromStdString(b.path));
    QCOMPARE(QByteArray(present[0].path), QByteArray("usb:1-1:1.0"));
    QCOMPARE(present[0].busNumber, quint8(1));
    QVERIFY(present[0].deviceAddress != present[1].deviceAddress);
    QCOMPARE(DFUDEV_Enumerate(present, 1, &count), DFU_OK);
    QCOMPARE(count, 2u); // the count of all present, even beyond the room given

    const char *paths[] = {present[0].path};
    DfuDeviceHandle h = 0;
    QCOMPARE(DFUDEV_Open(paths[0], &h), DFU_OK);
    DfuUsbDeviceDescriptor d{};
    QCOMPARE(DFUDEV_GetDeviceDescriptor(&h, &d), DFU_OK);
    QCOMPARE(unpacked(d.idVendor), quint16(0x1209));
    QCOMPARE(unpacked(d.idProduct), quint16(0x2A17));
    QCOMPARE(unpacked(d.bcdDevice), quint16(0x0200));
    char text[50];
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, d.iManufacturer, text, sizeof text), DFU_OK);
    QCOMPARE(QByteArray(text), QByteArray("Corvantis"));
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, d.iProduct, text, sizeof text), DFU_OK);
    QCOMPARE(QByteArray(text), QByteArray("Tolvex Demo Board"));
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, d.iSerialNumber, text, sizeof text), DFU_OK);
    QCOMPARE(QByteArray(text), QByteArray("TVX-0001"));
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, 99, text, sizeof text), DFU_ERROR_STALL);
    QCOMPARE(text[0], '\0');

    uint32_t interfaceNumber = 9, alternates = 0;
    DfuFunctionalDescriptor f{};
    QCOMPARE(DFUDEV_GetDFUDescriptor(&h, &interfaceNumber, &alternates, &f), DFU_OK);
    QCOMPARE(interfaceNumber, 0u);
    QCOMPARE(alternates, 2u);
    QCOMPARE(unpacked(f.bmAttributes), quint8(0x0B));
    QCOMPARE(unpacked(f.wTransferSize), quint16(2048));
    QCOMPARE(unpacked(f.bcdDFUVersion), quint16(0x011A));

    // A second handle on the same device shares the open device.
    DfuDeviceHandle h2 = 0;
    QCOMPARE(DFUDEV_Open(paths[0], &h2), DFU_OK);
    QVERIFY(h2 != h);
    QCOMPARE(DFUDEV_Close(&h2), DFU_OK);
    QCOMPARE(DFUDEV_GetDeviceDescriptor(&h, &d), DFU_OK);
    QCOMPARE(DFUDEV_Close(&h), DFU_OK);
    QCOMPARE(h, 0u);
    DfuDeviceHandle stale = 1;
    QCOMPARE(DFUDEV_Close(&stale), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUDEV_GetDeviceDescriptor(&h, &d), DFU_ERROR_INVALID_HANDLE);
    QCOMPARE(DFUDEV_Open("usb:1-9:1.0", &h), DFU_ERROR_NO_DEVICE);
}

void DfuOperationsTest::stringsAreBoundedAndTerminated()
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.product = std::string(70, 'P');
    const SimDfuDevice dev = plugDfuDevice(setup);
    DfuDeviceHandle h = 0;
    QCOMPARE(DFUDEV_Open(dev.path.c_str(), &h), DFU_OK);
    char text[60];
    std::memset(text, 'Z', sizeof text);
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, 2, text, 50), DFU_OK);
    QCOMPARE(QByteArray(text), QByteArray(49, 'P'));
    QCOMPARE(text[50], 'Z'); // nothing written past the buffer
    DFUDEV_Close(&h);
}

void DfuOperationsTest::mappingOfEachVariant()
{
    const SimDfuDevice two = plugDfuDevice();
    Mapping m;
    QCOMPARE(m.createFrom(two.path.c_str()), DFU_OK);
    QCOMPARE(m.size(), 2u);
    QCOMPARE(m[0].alternate, quint8(0));
    QCOMPARE(QByteArray(m[0].name), QByteArray("Option Bytes"));
    QCOMPARE(m[1].alternate, quint8(1));
    QCOMPARE(QByteArray(m[1].name), QByteArray("Internal Flash"));

    const SimDfuDevice one = plugDfuDevice(sim::DfuDeviceSpec::oneAlternate());
    Mapping m1;
    QCOMPARE(m1.createFrom(one.path.c_str()), DFU_OK);
    QCOMPARE(m1.size(), 1u);
    QCOMPARE(QByteArray(m1[0].name), QByteArray("Internal Flash"));

    // A download works on the one-alternate device as well.
    const QByteArray data = pattern(3000, 1);
    const DfuImageHandle image = imageWith(0, {{Flash, data}});
    QCOMPARE(unpacked(download(one, m1, image).errorStatus), DFU_OK);
    QCOMPARE(memory(one, 0, Flash, data.size()), data);
}

void DfuOperationsTest::malformedDevicesAreRefused()
{
    const SimDfuDevice badLayout = plugDfuDevice();
    badLayout.model->setLayoutString(1, "@Internal Flash  /0x08000000/04*016Kz");
    Mapping m;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("malformed memory layout"));
    QCOMPARE(m.createFrom(badLayout.path.c_str()), DFU_ERROR_LAYOUT);

    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    setup.functionalLength = 8;
    const SimDfuDevice badDescriptor = plugDfuDevice(setup);
    DfuDeviceHandle h = 0;
    QCOMPARE(DFUDEV_Open(badDescriptor.path.c_str(), &h), DFU_OK);
    uint32_t n, alts;
    DfuFunctionalDescriptor f;
    QCOMPARE(DFUDEV_GetDFUDescriptor(&h, &n, &alts, &f), DFU_ERROR_DESCRIPTOR);
    DFUDEV_Close(&h);
}

void DfuOperationsTest::permissionDeniedWarns()
{
    const SimDfuDevice dev = plugDfuDevice();
    dev.model->setOpenDenied(true);
    DfuDeviceHandle h = 0;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("permission denied.*udev rules"));
    QCOMPARE(DFUDEV_Open(dev.path.c_str(), &h), DFU_ERROR_ACCESS);
}

void DfuOperationsTest::downloadErasesExactlyAndWritesTheImage()
{
    const SimDfuDevice dev = plugDfuDevice();
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    // Dirty the whole flash first: what the image does not cover must stay as it was
    // outside the erased sectors.
    const QByteArray old(16, '\x5A');
    QVERIFY(dev.model->writeMemory(1, 0x08010000, reinterpret_cast<const uint8_t *>(old.constData()), 16));
    QVERIFY(dev.model->writeMemory(1, 0x08000000, reinterpret_cast<const uint8_t *>(old.constData()), 16));

    // Three elements: one in sector 0, one spanning sectors 1 and 2 with a short last
    // block, and an empty one in sector 5 that must not cause an erase.
    const QByteArray e1 = pattern(1000, 1), e2 = pattern(5000, 2);
    const DfuImageHandle image = imageWith(1, {{Flash, e1}, {Flash + 0x4000 + 0x3000, e2}, {0x08020000, QByteArray()}});
    const DfuOperationContext c = download(dev, m, image);
    QCOMPARE(unpacked(c.errorStatus), DFU_OK);
    QCOMPARE(c.percent, quint8(100));
    QCOMPARE(dev.model->erasedSectors(), (std::vector<uint32_t>{0x08000000, 0x08004000, 0x08008000}));
    QCOMPARE(memory(dev, 1, Flash, e1.size()), e1);
    QCOMPARE(memory(dev, 1, Flash + 0x7000, e2.size()), e2);
    QCOMPARE(memory(dev, 1, Flash + 1000, 16), QByteArray(16, '\xFF'));
    QCOMPARE(memory(dev, 1, 0x08010000, 16), old); // sector 3 untouched
    QCOMPARE(dev.model->earlyStatusPolls(), 0u);
    DFUFILES_DestroyImage(const_cast<DfuImageHandle *>(&image));
}

void DfuOperationsTest::downloadOfAnotherWritersFile()
{
    const SimDfuDevice dev = plugDfuDevice();
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    DfuFileHandle f;
    uint16_t vid, pid, bcd;
    uint8_t count;
    QCOMPARE(DFUFILES_OpenExistingDFUFile(TOLVEX_TESTDATA_DIR "/two-targets.dfu", &f, &vid, &pid, &bcd, &count), DFU_OK);
    DfuImageHandle image;
    QCOMPARE(DFUFILES_ReadImageFromDFUFile(f, 1, &image), DFU_OK);
    DFUFILES_CloseDFUFile(f);
    QCOMPARE(unpacked(download(dev, m, image).errorStatus), DFU_OK);
    QFile f1(TOLVEX_TESTDATA_DIR "/f1.bin"), f2(TOLVEX_TESTDATA_DIR "/f2.bin");
    QVERIFY(f1.open(QIODevice::ReadOnly) && f2.open(QIODevice::ReadOnly));
    QCOMPARE(memory(dev, 1, Flash, 1000), f1.readAll());
    QCOMPARE(memory(dev, 1, 0x08004000, 64), f2.readAll());
    DFUFILES_DestroyImage(&image);
}

void DfuOperationsTest::romTimingVariants_data()
{
    QTest::addColumn<int>("early");      // sim::EarlyStatus
    QTest::addColumn<bool>("honour");    // poll timeouts waited out from the start
    QTest::addColumn<bool>("eraseEarly"); // the erase with early requests too
    QTest::addColumn<int>("stalls");
    QTest::addColumn<int>("erasures");   // of the first sector
    const int whenDone = int(sim::EarlyStatus::AnswerWhenDone);
    QTest::newRow("ROM, poll timeouts honoured") << whenDone << true << true << 0 << 1;
    QTest::newRow("ROM, early requests") << whenDone << false << true << 0 << 1;
    QTest::newRow("non-blocking: busy at once") << int(sim::EarlyStatus::AnswerBusy) << false << true << 0 << 1;
    QTest::newRow("strict, stalled during the erase") << int(sim::EarlyStatus::Stall) << false << true << 1 << 2;
    QTest::newRow("strict, stalled during a block") << int(sim::EarlyStatus::Stall) << false << false << 1 << 1;
    QTest::newRow("strict, block left half written") << int(sim::EarlyStatus::StallHalfWritten) << false << false << 1
                                                      << 2;
}

void DfuOperationsTest::romTimingVariants()
{
    QFETCH(int, early);
    QFETCH(bool, honour);
    QFETCH(bool, eraseEarly);
    QFETCH(int, stalls);
    QFETCH(int, erasures);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    setup.quirks.earlyStatus = sim::EarlyStatus(early);
    const SimDfuDevice dev = plugDfuDevice(setup);
    // Held open across both operations, as the window holds the device it works with.
    DfuDeviceHandle held = 0;
    QCOMPARE(DFUDEV_Open(dev.path.c_str(), &held), DFU_OK);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    const QByteArray data = pattern(9000, 3);
    DfuImageHandle image = imageWith(0, {{Flash, data}});
    if (stalls)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("stalled a status request sent before its poll timeout"));

    DfuImageHandle eraseImage = 0;
    DFUFILES_DuplicateImage(image, &eraseImage);
    DFUFILES_FilterImageForOperation(eraseImage, &m.last(), DFU_OPERATION_ERASE, 0);
    DFUOPS_SetHonourPollTimeouts(honour || !eraseEarly);
    const DfuOperationContext erased = runOperation(DFU_OPERATION_ERASE, eraseImage, dev.path);
    DFUOPS_SetHonourPollTimeouts(honour);
    DFUFILES_FilterImageForOperation(image, &m.last(), DFU_OPERATION_UPGRADE, 0);
    const DfuOperationContext c = runOperation(DFU_OPERATION_UPGRADE, image, dev.path);
    DFUOPS_SetHonourPollTimeouts(false);
    DFUFILES_DestroyImage(&eraseImage);
    DFUFILES_DestroyImage(&image);
    DFUDEV_Close(&held);

    QCOMPARE(unpacked(erased.errorStatus), DFU_OK);
    QCOMPARE(unpacked(c.errorStatus), DFU_OK);
    QCOMPARE(memory(dev, 0, Flash, data.size()), data);
    QCOMPARE(int(dev.model->earlyStatusStalls()), stalls); // the fallback, taken once at most
    const std::vector<uint32_t> sectors = dev.model->erasedSectors();
    QCOMPARE(int(std::count(sectors.begin(), sectors.end(), Flash)), erasures);
    if (honour)
        QCOMPARE(dev.model->earlyStatusPolls(), 0u);
    else
        QVERIFY(dev.model->earlyStatusPolls() > 0);
}

void DfuOperationsTest::verifyFailures_data()
{
    QTest::addColumn<bool>("honour");
    QTest::addColumn<bool>("deadCell");
    QTest::addColumn<quint32>("status");
    // A bit stored wrong once: the early download rewrites its sector and succeeds.
    QTest::newRow("flipped bit, early requests: sector rewritten") << false << false << quint32(DFU_OK);
    QTest::newRow("flipped bit, poll timeouts honoured") << true << false << quint32(DFU_ERROR_VERIFY);
    QTest::newRow("a cell that never programs: retried once, then reported") << false << true
                                                                             << quint32(DFU_ERROR_VERIFY);
}

void DfuOperationsTest::verifyFailures()
{
    QFETCH(bool, honour);
    QFETCH(bool, deadCell);
    QFETCH(quint32, status);
    const SimDfuDevice dev = plugDfuDevice();
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    sim::DfuFaults faults;
    if (deadCell)
        faults.deadCellAt = Flash + 2048 + 5;
    else
        faults.flipBitAtBlock = 2;
    dev.model->setFaults(faults);
    DfuImageHandle image = imageWith(1, {{Flash, pattern(6000, 4)}});
    if (!honour)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("failed verification after early status requests"));
    if (status != DFU_OK)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("failed: verification failed.*address 0x0800080"));
    DFUOPS_SetHonourPollTimeouts(honour);
    const DfuOperationContext c = download(dev, m, image);
    DFUOPS_SetHonourPollTimeouts(false);
    DFUFILES_DestroyImage(&image);
    QCOMPARE(unpacked(c.errorStatus), status);
    const std::vector<uint32_t> sectors = dev.model->erasedSectors();
    QCOMPARE(int(std::count(sectors.begin(), sectors.end(), Flash)), honour ? 1 : 2); // one retry at most
    if (status == DFU_OK) {
        QCOMPARE(memory(dev, 1, Flash, 6000), pattern(6000, 4));
        return;
    }
    QCOMPARE(unpacked(c.failedAddress), Flash + 2048 + (deadCell ? 5 : 0));
    QVERIFY(c.percent < 100);
}

void DfuOperationsTest::faultsEndInErrors_data()
{
    QTest::addColumn<sim::DfuFaults>("faults");
    QTest::addColumn<int>("busyLimitMs"); // 0: the default
    QTest::addColumn<quint32>("status");
    QTest::addColumn<int>("deviceStatus"); // -1: not checked
    QTest::addColumn<bool>("endsIdle"); // the device is in dfuIDLE again, its error cleared (false: not checked)
    QTest::addColumn<int>("usbError"); // 0: not checked
    sim::DfuFaults stall, error, gone, busy, unreadable;
    stall.stallAtBlock = 2;
    error.errorAtBlock = 1;
    gone.disconnectAtBlock = 3;
    busy.busyForever = true;
    unreadable.readProtected = true;
    QTest::newRow("stall at block 2") << stall << 0 << quint32(DFU_ERROR_STALL) << -1 << true << 0;
    QTest::newRow("error status at block 1") << error << 0 << quint32(DFU_ERROR_DEVICE_STATUS) << 0x03 << true << 0;
    QTest::newRow("disconnect at block 3")
        << gone << 0 << quint32(DFU_ERROR_DEVICE_GONE) << -1 << false << int(LIBUSB_ERROR_NO_DEVICE);
    QTest::newRow("busy forever") << busy << 300 << quint32(DFU_ERROR_DEVICE_BUSY) << -1 << false << 0;
    QTest::newRow("read protected") << unreadable << 0 << quint32(DFU_ERROR_DEVICE_STATUS) << 0x0B << false << 0;
}

void DfuOperationsTest::faultsEndInErrors()
{
    QFETCH(sim::DfuFaults, faults);
    QFETCH(int, busyLimitMs);
    QFETCH(quint32, status);
    QFETCH(int, deviceStatus);
    QFETCH(bool, endsIdle);
    QFETCH(int, usbError);
    const SimDfuDevice dev = plugDfuDevice();
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    if (busyLimitMs)
        DFUOPS_SetBusyLimitMs(uint32_t(busyLimitMs));
    dev.model->setFaults(faults);
    const DfuImageHandle image = imageWith(1, {{Flash, pattern(10000, 5)}});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DFU: operation . on .* failed"));
    const DfuOperationContext c = download(dev, m, image);
    QCOMPARE(unpacked(c.errorStatus), status);
    QVERIFY(c.percent < 100);
    if (deviceStatus >= 0)
        QCOMPARE(int(c.lastDeviceStatus), deviceStatus);
    if (endsIdle)
        QCOMPARE(dev.model->state(), quint8(2));
    if (usbError)
        QCOMPARE(unpacked(c.usbError), usbError);
}

void DfuOperationsTest::launchRefusesBadImages()
{
    const SimDfuDevice dev = plugDfuDevice();
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    const uint64_t before = dev.model->controlTransferCount();

    DfuImageHandle outside = imageWith(1, {{Flash, pattern(100, 1)}, {0x08100000 - 10, pattern(20, 2)}});
    QCOMPARE(DFUFILES_FilterImageForOperation(outside, &m.last(), DFU_OPERATION_ERASE, 0), DFU_ERROR_ADDRESS);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, outside, dev.path).errorStatus), DFU_ERROR_ADDRESS);

    // Option bytes are readable and writeable, not erasable.
    DfuImageHandle options = imageWith(0, {{0x1FFFC000, pattern(16, 3)}});
    QCOMPARE(DFUFILES_FilterImageForOperation(options, &m[0], DFU_OPERATION_ERASE, 0), DFU_ERROR_NOT_WRITEABLE);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, options, dev.path).errorStatus), DFU_ERROR_NOT_WRITEABLE);

    // 4 KiB at the start, then 2 KiB of other bytes from +2 KiB: refused, naming both.
    dfulib::Image overlapping(imageWith(1, {{Flash, pattern(4096, 1)}, {Flash + 2048, pattern(2048, 2)}}));
    for (int32_t operation : {DFU_OPERATION_DOWNLOAD, DFU_OPERATION_ERASE, DFU_OPERATION_UPGRADE}) {
        QTest::ignoreMessage(QtWarningMsg, "DFU: elements 0 and 1 of image \"fw_main_v2\" overlap at 0x08000800; "
                                           "nothing is written.");
        QCOMPARE(DFUFILES_FilterImageForOperation(overlapping.get(), &m.last(), operation, 0), DFU_ERROR_OVERLAP);
        QCOMPARE(unpacked(runOperation(operation, overlapping.get(), dev.path).errorStatus), DFU_ERROR_OVERLAP);
    }

    DfuImageHandle unfiltered = imageWith(1, {{Flash, pattern(100, 1)}});
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_UPGRADE, unfiltered, dev.path).errorStatus), DFU_ERROR_NOT_FILTERED);
    QCOMPARE(DFUFILES_FilterImageForOperation(unfiltered, &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_UPGRADE, unfiltered, dev.path).errorStatus), DFU_ERROR_NOT_FILTERED);

    DfuOperationContext c = newContext(DFU_OPERATION_ERASE, unfiltered, dev.path);
    std::memset(c.devicePath, 'x', sizeof c.devicePath); // no terminating NUL
    uint32_t code = 0;
    QCOMPARE(DFUOPS_LaunchOperation(&c, &code), DFU_ERROR_PATH_TOO_LONG);
    c = newContext(7, unfiltered, dev.path);
    QCOMPARE(DFUOPS_LaunchOperation(&c, &code), DFU_ERROR_OPERATION);

    // Nothing reached the device, and nothing was erased.
    QCOMPARE(dev.model->controlTransferCount(), before);
    QCOMPARE(dev.model->erasedSectorCount(), 0u);
    for (DfuImageHandle h : {outside, options, unfiltered})
        DFUFILES_DestroyImage(&h);
}

void DfuOperationsTest::uploadThenFileGivesMemoryBack()
{
    const SimDfuDevice dev = plugDfuDevice();
    const QByteArray flash = pattern(1024 * 1024, 6);
    QVERIFY(dev.model->writeMemory(1, Flash, reinterpret_cast<const uint8_t *>(flash.constData()), size_t(flash.size())));
    const QByteArray options = pattern(16, 7);
    QVERIFY(dev.model->writeMemory(0, 0x1FFFC000, reinterpret_cast<const uint8_t *>(options.constData()), 16));
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);

    QTemporaryDir dir;
    const QString path = dir.filePath("upload.dfu");
    DfuFileHandle f;
    QCOMPARE(DFUFILES_CreateNewDFUFile(qPrintable(path), &f, 0x1209, 0x2A17, 0x0200), DFU_OK);
    for (uint32_t alt = 0; alt < m.size(); ++alt) {
        DfuImageHandle image;
        QCOMPARE(DFUFILES_CreateImageFromMapping(&image, &m[alt]), DFU_OK);
        QCOMPARE(DFUFILES_FilterImageForOperation(image, &m[alt], DFU_OPERATION_UPLOAD, 0), DFU_OK);
        const DfuOperationContext c = runOperation(DFU_OPERATION_UPLOAD, image, dev.path);
        QCOMPARE(unpacked(c.errorStatus), DFU_OK);
        QCOMPARE(c.percent, quint8(100));
        QCOMPARE(DFUFILES_AppendImageToDFUFile(f, image), DFU_OK);
        DFUFILES_DestroyImage(&image);
    }
    QCOMPARE(DFUFILES_CloseDFUFile(f), DFU_OK);

    QFile written(path);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QByteArray bytes = written.readAll();
    dfulib::FileView view;
    QCOMPARE(
        dfulib::parseFile(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()), view), DFU_OK);
    QCOMPARE(view.targets.size(), size_t(2));
    QCOMPARE(QByteArray::fromStdString(view.targets[1].name), QByteArray("Internal Flash"));
    QCOMPARE(view.targets[1].alternate, quint8(1));
    QCOMPARE(view.targets[1].elements.size(), size_t(1));
    QCOMPARE(view.targets[1].elements[0].address, Flash);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(view.targets[1].elements[0].data), 1024 * 1024), flash);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(view.targets[0].elements[0].data), 16), options);
}

void DfuOperationsTest::stopDuringTransfer()
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    const SimDfuDevice dev = plugDfuDevice(setup);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    // The whole flash: about 16 s of erasing on this profile.
    DfuImageHandle image = imageWith(0, {{Flash, pattern(1024 * 1024, 8)}});
    QCOMPARE(DFUFILES_FilterImageForOperation(image, &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    DfuOperationContext c = newContext(DFU_OPERATION_ERASE, image, dev.path);
    uint32_t code = 0;
    QCOMPARE(DFUOPS_LaunchOperation(&c, &code), DFU_OK);
    QTRY_VERIFY_WITH_TIMEOUT((DFUOPS_GetOperationStatus(code, &c), c.phase == 1), 5000);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("failed: the operation was stopped"));
    QCOMPARE(DFUOPS_StopOperation(code, &c), DFU_OK);
    QCOMPARE(unpacked(c.errorStatus), DFU_ERROR_STOPPED);
    QVERIFY(dev.model->erasedSectorCount() < 12);
    QCOMPARE(DFUOPS_GetOperationStatus(code, &c), DFU_ERROR_INVALID_HANDLE);

    // The device is usable again: a small erase after the stop succeeds.
    dev.model->setTiming(sim::Timing::Instant);
    DfuImageHandle small = imageWith(0, {{Flash, pattern(10, 1)}});
    QCOMPARE(DFUFILES_FilterImageForOperation(small, &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, small, dev.path).errorStatus), DFU_OK);
    DFUFILES_DestroyImage(&image);
    DFUFILES_DestroyImage(&small);
}

void DfuOperationsTest::returnLeavesDfuMode()
{
    const SimDfuDevice dev = plugDfuDevice();
    bool left = false;
    dev.model->setOnLeave([&] { left = true; });
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    DfuImageHandle image;
    QCOMPARE(DFUFILES_CreateImageFromMapping(&image, &m.last()), DFU_OK);
    QCOMPARE(DFUFILES_FilterImageForOperation(image, &m.last(), DFU_OPERATION_RETURN, 0), DFU_OK);
    const DfuOperationContext c = runOperation(DFU_OPERATION_RETURN, image, dev.path);
    QCOMPARE(unpacked(c.errorStatus), DFU_OK);
    QVERIFY(left);
    QVERIFY(!dev.model->connected());
    uint32_t count = 99;
    DfuPresentInterface present;
    QCOMPARE(DFUDEV_Enumerate(&present, 1, &count), DFU_OK);
    QCOMPARE(count, 0u);
    DFUFILES_DestroyImage(&image);
}

void DfuOperationsTest::goneDeviceFailsCleanly()
{
    const SimDfuDevice dev = plugDfuDevice();
    DfuDeviceHandle h = 0;
    QCOMPARE(DFUDEV_Open(dev.path.c_str(), &h), DFU_OK);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    sim::World::instance().unplug(dev.model);
    char text[50];
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, 1, text, sizeof text), DFU_ERROR_DEVICE_GONE);
    DfuImageHandle image = imageWith(1, {{Flash, pattern(10, 1)}});
    QCOMPARE(DFUFILES_FilterImageForOperation(image, &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, image, dev.path).errorStatus), DFU_ERROR_NO_DEVICE);
    QCOMPARE(DFUDEV_Close(&h), DFU_OK);

    // Plugged in again at the same port: a fresh open works.
    sim::World::instance().plug(dev.model, 1);
    QCOMPARE(DFUDEV_Open(dev.path.c_str(), &h), DFU_OK);
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, 1, text, sizeof text), DFU_OK);
    DFUDEV_Close(&h);
    DFUFILES_DestroyImage(&image);
}

void DfuOperationsTest::quirksOnTheWholeRoad_data()
{
    QTest::addColumn<sim::DfuDeviceSpec>("setup");
    QTest::addColumn<sim::DfuFaults>("faults");
    QTest::addColumn<bool>("claimed"); // the interface held by another program
    QTest::addColumn<QByteArray>("layout"); // of alternate 1 instead of the setup's; empty: the setup's
    QTest::addColumn<quint32>("downloadStatus");
    QTest::addColumn<quint32>("returnStatus");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("leftIdle"); // after a failed download: usable again
    const quint32 ok = DFU_OK;
    const QString failed; // the failure's own warning is expected by the test
    const sim::DfuFaults none;
    const auto with = [](const std::function<void(sim::DfuDeviceSpec &)> &edit) {
        sim::DfuDeviceSpec s = sim::DfuDeviceSpec::twoAlternates();
        edit(s);
        return s;
    };
    const auto quirk = [&](bool sim::DfuQuirks::*field) {
        return with([&](sim::DfuDeviceSpec &s) { s.quirks.*field = true; });
    };
    const auto unplugAs = [](sim::ControlResult::Loss as) {
        sim::DfuFaults f;
        f.disconnectAtBlock = 3;
        f.disconnectAs = as;
        return f;
    };
    const sim::DfuDeviceSpec plain = sim::DfuDeviceSpec::twoAlternates();
    QTest::newRow("poll timeout of hours")
        << quirk(&sim::DfuQuirks::hugePollTimeout) << none << false << QByteArray() << ok << ok << QString() << false;
    // The library gives a transfer 5 s.
    QTest::newRow("status held past the transfer timeout by a long erase")
        << with([](sim::DfuDeviceSpec &s) { s.quirks.eraseMs = 6000; }) << none << false << QByteArray() << ok << ok
        << QString() << false;
    QTest::newRow("reset before the return's answer") << quirk(&sim::DfuQuirks::resetBeforeReturnAnswer) << none
                                                      << false << QByteArray() << ok << ok << QString() << false;
    QTest::newRow("waits in dfuMANIFEST-WAIT-RESET")
        << quirk(&sim::DfuQuirks::manifestWaitReset) << none << false << QByteArray() << ok << ok << QString() << false;
    QTest::newRow("dfuIDLE after the return")
        << with([](sim::DfuDeviceSpec &s) { s.quirks.stateAfterReturn = 2; }) << none << false << QByteArray() << ok
        << quint32(DFU_ERROR_NOT_LEFT) << failed << false;
    QTest::newRow("dfuDNLOAD-IDLE after the return")
        << with([](sim::DfuDeviceSpec &s) { s.quirks.stateAfterReturn = 5; }) << none << false << QByteArray() << ok
        << quint32(DFU_ERROR_NOT_LEFT) << failed << false;
    QTest::newRow("dfuIDLE after a block") << quirk(&sim::DfuQuirks::idleAfterBlock) << none << false << QByteArray()
                                           << quint32(DFU_ERROR_DEVICE_STATE) << ok << failed << true;
    QTest::newRow("unplug seen as an I/O error") << plain << unplugAs(sim::ControlResult::IoError) << false
                                                 << QByteArray() << quint32(DFU_ERROR_USB) << ok << failed << false;
    QTest::newRow("unplug seen as a stall") << plain << unplugAs(sim::ControlResult::PipeError) << false << QByteArray()
                                            << quint32(DFU_ERROR_STALL) << ok << failed << false;
    QTest::newRow("unplug seen as a timeout") << plain << unplugAs(sim::ControlResult::Timeout) << false << QByteArray()
                                              << quint32(DFU_ERROR_USB) << ok << failed << false;
    QTest::newRow("wTransferSize 8192") << with([](sim::DfuDeviceSpec &s) { s.transferSize = 8192; }) << none << false
                                        << QByteArray() << ok << ok << QString() << false;
    QTest::newRow("wTransferSize 1000, short last block")
        << with([](sim::DfuDeviceSpec &s) { s.transferSize = 1000; }) << none << false << QByteArray() << ok << ok
        << QString() << false;
    QTest::newRow("odd string lengths") << quirk(&sim::DfuQuirks::oddStringLengths) << none << false << QByteArray()
                                        << ok << ok << QString() << false;
    QTest::newRow("bLength past the data") << quirk(&sim::DfuQuirks::stringLengthPastData) << none << false
                                           << QByteArray() << ok << ok << QString() << false;
    QTest::newRow("no language list") << quirk(&sim::DfuQuirks::languageListStalls) << none << false << QByteArray()
                                      << ok << ok << QString() << false;
    QTest::newRow("bitCanUpload 0") << with([](sim::DfuDeviceSpec &s) { s.attributes = 0x09; }) << none << false
                                    << QByteArray() << ok << ok << QStringLiteral("was not verified") << false;
    QTest::newRow("alternates 0 and 5") << with([](sim::DfuDeviceSpec &s) {
        s.quirks.alternateNumbers = {0, 5};
    }) << none << false << QByteArray() << ok
                                        << ok << QString() << false;
    QTest::newRow("interface claimed by another program")
        << plain << none << true << QByteArray() << quint32(DFU_ERROR_CLAIMED) << ok
        << QStringLiteral("another program holds") << true;
    QTest::newRow("layout past 4 GiB") << plain << none << false << QByteArray("@Internal Flash  /0xFFFF0000/02*064Kg")
                                       << quint32(DFU_ERROR_LAYOUT) << ok << QStringLiteral("malformed memory layout")
                                       << false;
}

void DfuOperationsTest::quirksOnTheWholeRoad()
{
    QFETCH(sim::DfuDeviceSpec, setup);
    QFETCH(sim::DfuFaults, faults);
    QFETCH(bool, claimed);
    QFETCH(QByteArray, layout);
    QFETCH(quint32, downloadStatus);
    QFETCH(quint32, returnStatus);
    QFETCH(QString, warning);
    QFETCH(bool, leftIdle);
    const SimDfuDevice dev = plugDfuDevice(setup);
    dev.model->setFaults(faults);
    bool left = false;
    dev.model->setOnLeave([&] { left = true; });
    dev.model->setClaimedElsewhere(claimed);
    if (!layout.isEmpty())
        dev.model->setLayoutString(1, layout.toStdString());

    // Listed by its strings, read as they came, without claiming the interface.
    DfuDeviceHandle h = 0;
    QCOMPARE(DFUDEV_Open(dev.path.c_str(), &h), DFU_OK);
    char text[50];
    QCOMPARE(DFUDEV_GetStringDescriptor(&h, 2, text, sizeof text), DFU_OK);
    QCOMPARE(QByteArray(text), QByteArray("Tolvex Demo Board"));
    DFUDEV_Close(&h);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    Mapping m;
    const DfuStatus mapped = m.createFrom(dev.path.c_str());
    QCOMPARE(unpacked(mapped), downloadStatus == DFU_ERROR_LAYOUT ? downloadStatus : quint32(DFU_OK));
    if (mapped != DFU_OK)
        return;
    QCOMPARE(
        m.last().alternate, setup.quirks.alternateNumbers.empty() ? quint8(1) : setup.quirks.alternateNumbers.back());
    // Two sectors, a short last block, and an element that starts off a block boundary.
    const QByteArray first = pattern(5500, 3), second = pattern(777, 4);
    DfuImageHandle image = imageWith(m.last().alternate, {{Flash + 3, first}, {0x08004000, second}});
    const QRegularExpression operationFailed(QStringLiteral("DFU: operation . on .* failed"));
    if (downloadStatus != DFU_OK)
        QTest::ignoreMessage(QtWarningMsg, operationFailed);
    QElapsedTimer clock;
    clock.start();
    const DfuOperationContext c = download(dev, m, image);
    DFUFILES_DestroyImage(&image);
    QCOMPARE(unpacked(c.errorStatus), downloadStatus);
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed()))); // ended, never hung
    if (downloadStatus != DFU_OK) {
        QVERIFY(c.percent < 100);
        QVERIFY(memory(dev, 1, Flash + 3, first.size()) != first || memory(dev, 1, 0x08004000, 777) != second);
        if (leftIdle)
            QCOMPARE(dev.model->state(), quint8(2)); // dfuIDLE
        if (claimed)
            QCOMPARE(dev.model->erasedSectorCount(), 0u);
        return;
    }
    QCOMPARE(memory(dev, 1, Flash + 3, first.size()), first);
    QCOMPARE(memory(dev, 1, 0x08004000, 777), second);
    QCOMPARE(memory(dev, 1, Flash, 3), QByteArray(3, '\xFF'));

    DfuImageHandle back = 0;
    QCOMPARE(DFUFILES_CreateImageFromMapping(&back, &m.last()), DFU_OK);
    QCOMPARE(DFUFILES_FilterImageForOperation(back, &m.last(), DFU_OPERATION_RETURN, 0), DFU_OK);
    if (returnStatus != DFU_OK)
        QTest::ignoreMessage(QtWarningMsg, operationFailed);
    const DfuOperationContext r = runOperation(DFU_OPERATION_RETURN, back, dev.path);
    DFUFILES_DestroyImage(&back);
    QCOMPARE(unpacked(r.errorStatus), returnStatus);
    QCOMPARE(left, returnStatus == DFU_OK);
    QCOMPARE(dev.model->connected(), returnStatus != DFU_OK);
}

void DfuOperationsTest::stopEndsAWaitOfHours()
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.quirks.hugePollTimeout = true;
    const SimDfuDevice dev = plugDfuDevice(setup);
    sim::DfuFaults busy;
    busy.busyForever = true;
    dev.model->setFaults(busy);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    DfuImageHandle image = imageWith(0, {{Flash, pattern(10, 1)}});
    QCOMPARE(DFUFILES_FilterImageForOperation(image, &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    DfuOperationContext c = newContext(DFU_OPERATION_ERASE, image, dev.path);
    uint32_t code = 0;
    QCOMPARE(DFUOPS_LaunchOperation(&c, &code), DFU_OK);
    QTRY_VERIFY((DFUOPS_GetOperationStatus(code, &c), c.phase == 1));
    QTest::qWait(300); // inside a wait for the device's hours
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("failed: the operation was stopped"));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(DFUOPS_StopOperation(code, &c), DFU_OK);
    // Well under one wait slice: the stop woke the wait rather than outliving it.
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(unpacked(c.errorStatus), DFU_ERROR_STOPPED);
    DFUFILES_DestroyImage(&image);
}

namespace {
// The download operation, with the flag given (0: skip what is already there).
DfuStatus downloadWith(const SimDfuDevice &d, const Mapping &m, const QList<QPair<uint32_t, QByteArray>> &elements,
                       int32_t flag)
{
    const dfulib::Image image(imageWith(1, elements));
    return download(d, m, image.get(), flag).errorStatus;
}
} // namespace

void DfuOperationsTest::skipsWhatIsAlreadyThere_data()
{
    QTest::addColumn<int>("tail"); // bytes of the third sector the image covers
    QTest::addColumn<bool>("oldBeside"); // old data beside the image's part, or erased bytes
    QTest::addColumn<bool>("oldUnderFF"); // old data where the image has 0xFF
    QTest::addColumn<bool>("differs"); // one byte of the second sector
    QTest::addColumn<bool>("uploads");
    QTest::addColumn<QString>("fault"); // "read": an upload fails mid-comparison; "write": a download
    QTest::addColumn<int>("erasures");
    QTest::newRow("the same image again") << 4096 << false << false << false << true << "" << 0;
    QTest::newRow("one sector differs") << 4096 << false << false << true << true << "" << 1;
    QTest::newRow("old data beside the image's part of a sector") << 4096 << true << false << false << true << "" << 1;
    QTest::newRow("an image byte 0xFF over old data") << 4096 << false << true << false << true << "" << 1;
    QTest::newRow("an element ending mid-block") << 3000 << false << false << false << true << "" << 0;
    QTest::newRow("no upload: a full download") << 4096 << false << false << true << false << "" << 3;
    // Unread, and the one that differs.
    QTest::newRow("a read failing mid-comparison") << 4096 << false << false << true << true << "read" << 2;
    QTest::newRow("a fault during the partial write, then again")
        << 4096 << false << false << true << true << "write" << 2;
}

void DfuOperationsTest::skipsWhatIsAlreadyThere()
{
    QFETCH(int, tail);
    QFETCH(bool, oldBeside);
    QFETCH(bool, oldUnderFF);
    QFETCH(bool, differs);
    QFETCH(bool, uploads);
    QFETCH(QString, fault);
    QFETCH(int, erasures);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::twoAlternates();
    if (!uploads)
        setup.attributes = 0x09;
    // The image: two 16 KiB sectors whole, a third in part.
    QByteArray data = pattern(16384 * 2 + tail, 5);
    data[100] = char(0xFF);
    const QList<QPair<uint32_t, QByteArray>> image{{Flash, data}};
    // Two devices with the same memory: one takes the skipping download, the other a full one.
    const SimDfuDevice skipping = plugDfuDevice(setup), full = plugDfuDevice(setup);
    QByteArray memory = pattern(64 * 1024, 8);
    memory.replace(0, data.size(), data); // the image's bytes over old data ...
    if (!oldBeside) // ... or as a full download of the image left them
        memory.replace(data.size(), 3 * 16384 - data.size(), QByteArray(3 * 16384 - data.size(), '\xFF'));
    if (oldUnderFF)
        memory[100] = 0;
    if (differs)
        memory[16384 + 7] = char(memory[16384 + 7] ^ 0x10);
    for (const SimDfuDevice *d : {&skipping, &full})
        QVERIFY(d->model->writeMemory(
            1, Flash, reinterpret_cast<const uint8_t *>(memory.constData()), size_t(memory.size())));
    Mapping m, mFull;
    QCOMPARE(m.createFrom(skipping.path.c_str()), DFU_OK);
    QCOMPARE(mFull.createFrom(full.path.c_str()), DFU_OK);
    QCOMPARE(downloadWith(full, mFull, image, DFU_FLAG_FULL_DOWNLOAD), DFU_OK);
    QCOMPARE(full.model->erasedSectorCount(), 3u);

    if (fault.isEmpty()) {
        // A comparison alone says what the download will keep, and changes nothing.
        const QByteArray held = ::memory(skipping, 1, Flash, 64 * 1024);
        const dfulib::Image compare(imageWith(1, image));
        const DfuOperationContext c = download(skipping, m, compare.get(), DFU_FLAG_COMPARE_ONLY);
        QCOMPARE(unpacked(c.errorStatus), DFU_OK);
        QCOMPARE(int(c.sectorsTouched), 3);
        QCOMPARE(int(c.sectorsKept), 3 - erasures);
        QCOMPARE(skipping.model->erasedSectorCount(), 0u);
        QCOMPARE(::memory(skipping, 1, Flash, 64 * 1024), held);
    }
    sim::DfuFaults faults;
    if (fault == QLatin1String("read"))
        faults.uploadStallAt = 1; // the first sector's first block
    if (fault == QLatin1String("write"))
        faults.disconnectAtBlock = 2;
    faults.once = true;
    skipping.model->setFaults(faults);
    if (!uploads)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("was not verified"));
    if (fault == QLatin1String("write")) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DFU: operation . on .* failed"));
        QVERIFY(downloadWith(skipping, m, image, 0) != DFU_OK);
        sim::World::instance().unplug(skipping.model);
        sim::World::instance().plug(skipping.model, skipping.port);
    }
    QCOMPARE(downloadWith(skipping, m, image, 0), DFU_OK);
    QCOMPARE(int(skipping.model->erasedSectorCount()), erasures);
    // Byte for byte what the full download left, over everything the image touches and beyond.
    QCOMPARE(::memory(skipping, 1, Flash, 64 * 1024), ::memory(full, 1, Flash, 64 * 1024));
}

// What one operation learned of a device's memory must not be trusted by another: a success
// always means that the device holds the image written last, byte for byte.

// Erased, then another device put on the same port, then upgraded: the new one is written whole.
void DfuOperationsTest::nothingOutlivesAPortSwap()
{
    const sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    const SimDfuDevice dev = plugDfuDevice(setup);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    const QByteArray a = pattern(6000, 6);
    QVERIFY(dev.model->writeMemory(0, Flash, reinterpret_cast<const uint8_t *>(a.constData()), size_t(a.size())));
    dfulib::Image erase(imageWith(0, {{Flash, a}})), image(imageWith(0, {{Flash, a}}));
    QCOMPARE(DFUFILES_FilterImageForOperation(erase.get(), &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, erase.get(), dev.path).errorStatus), DFU_OK);
    sim::World::instance().unplug(dev.model);
    const auto blank = std::make_shared<sim::DfuDeviceModel>(setup);
    sim::World::instance().plug(blank, dev.port);
    QCOMPARE(DFUFILES_FilterImageForOperation(image.get(), &m.last(), DFU_OPERATION_UPGRADE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_UPGRADE, image.get(), dev.path).errorStatus), DFU_OK);
    QByteArray held(a.size(), '\0');
    QVERIFY(blank->readMemory(0, Flash, reinterpret_cast<uint8_t *>(held.data()), size_t(held.size())));
    sim::World::instance().unplug(blank);
    QCOMPARE(held, a);
}

// Two images: both erased, then both upgraded; "erase" means erased, in each alternate.
void DfuOperationsTest::nothingOutlivesBetweenTwoImages()
{
    const SimDfuDevice dev = plugDfuDevice(sim::DfuDeviceSpec::twoFlashes());
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    const uint32_t base = 0x08100000;
    // Alternate 0 holds old data, alternate 1 already its image.
    const QByteArray a = pattern(6000, 6), old = pattern(4096, 9), zero = pattern(3000, 10);
    QVERIFY(dev.model->writeMemory(1, base, reinterpret_cast<const uint8_t *>(a.constData()), size_t(a.size())));
    QVERIFY(dev.model->writeMemory(0, Flash, reinterpret_cast<const uint8_t *>(old.constData()), 4096));
    dfulib::Image i0(imageWith(0, {{Flash, zero}})), i1(imageWith(1, {{base, a}}));
    dfulib::Image e0, e1;
    DFUFILES_DuplicateImage(i0.get(), e0.receive());
    DFUFILES_DuplicateImage(i1.get(), e1.receive());
    QCOMPARE(DFUFILES_FilterImageForOperation(e0.get(), &m[0], DFU_OPERATION_ERASE, 0), DFU_OK);
    QCOMPARE(DFUFILES_FilterImageForOperation(e1.get(), &m[1], DFU_OPERATION_ERASE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, e0.get(), dev.path).errorStatus), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, e1.get(), dev.path).errorStatus), DFU_OK);
    // Two pages of alternate 0, one sector of alternate 1.
    QCOMPARE(dev.model->erasedSectors(), (std::vector<uint32_t>{Flash, Flash + 2048, base}));
    QCOMPARE(DFUFILES_FilterImageForOperation(i0.get(), &m[0], DFU_OPERATION_UPGRADE, 0), DFU_OK);
    QCOMPARE(DFUFILES_FilterImageForOperation(i1.get(), &m[1], DFU_OPERATION_UPGRADE, 0), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_UPGRADE, i0.get(), dev.path).errorStatus), DFU_OK);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_UPGRADE, i1.get(), dev.path).errorStatus), DFU_OK);
    QCOMPARE(memory(dev, 0, Flash, 4096), zero + QByteArray(4096 - zero.size(), '\xFF'));
    QCOMPARE(memory(dev, 1, base, a.size()), a);
}

void DfuOperationsTest::nothingOutlivesACrcTwin_data()
{
    QTest::addColumn<bool>("eraseFirst"); // erase with the held image, then upgrade; or one download
    QTest::addColumn<int>("erasures"); // of the download
    QTest::newRow("erase with an image, upgrade with its CRC twin") << true << 0;
    QTest::newRow("download of the CRC twin of what the device holds") << false << 1;
}

// An image whose sector has the CRC-32 of what the device holds is still written.
void DfuOperationsTest::nothingOutlivesACrcTwin()
{
    QFETCH(bool, eraseFirst);
    QFETCH(int, erasures);
    const SimDfuDevice dev = plugDfuDevice(sim::DfuDeviceSpec::oneAlternate());
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    const QByteArray a = pattern(6000, 6);
    QVERIFY(dev.model->writeMemory(0, Flash, reinterpret_cast<const uint8_t *>(a.constData()), size_t(a.size())));
    // Five bytes changed, the CRC-32 of the sector's content kept.
    const QByteArray b = crcTwin(a, 100, 0, 16384);
    QVERIFY(b != a);
    const auto sectorCrc = [](const QByteArray &image) {
        const QByteArray sector = image + QByteArray(16384 - image.size(), '\xFF');
        return crc32(0, reinterpret_cast<const Bytef *>(sector.constData()), uInt(sector.size()));
    };
    QCOMPARE(sectorCrc(b), sectorCrc(a));
    dfulib::Image image(imageWith(0, {{Flash, b}}));
    if (eraseFirst) {
        dfulib::Image erase(imageWith(0, {{Flash, a}}));
        QCOMPARE(DFUFILES_FilterImageForOperation(erase.get(), &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
        QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, erase.get(), dev.path).errorStatus), DFU_OK);
        QCOMPARE(DFUFILES_FilterImageForOperation(image.get(), &m.last(), DFU_OPERATION_UPGRADE, 0), DFU_OK);
        QCOMPARE(unpacked(runOperation(DFU_OPERATION_UPGRADE, image.get(), dev.path).errorStatus), DFU_OK);
    } else {
        QCOMPARE(unpacked(download(dev, m, image.get()).errorStatus), DFU_OK);
        QCOMPARE(int(dev.model->erasedSectorCount()), erasures);
    }
    QCOMPARE(memory(dev, 0, Flash, b.size()), b);
}

void DfuOperationsTest::earlyRequestsNeedAReadBack_data()
{
    QTest::addColumn<int>("attributes"); // of the DFU functional descriptor
    QTest::addColumn<bool>("readable"); // the memory's sectors have read access
    QTest::addColumn<QString>("warning"); // as a pattern; empty: none
    QTest::newRow("a device that cannot upload: poll timeouts waited out")
        << 0x09 << true << QStringLiteral("was not verified");
    QTest::newRow("a memory without read access: poll timeouts waited out") << 0x0B << false << QString();
}

// An early status request is a bet that a read-back will catch a device that answered
// "done" too soon; where nothing can be read back the bet is not made.
void DfuOperationsTest::earlyRequestsNeedAReadBack()
{
    QFETCH(int, attributes);
    QFETCH(bool, readable);
    QFETCH(QString, warning);
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    setup.timeScale = 0.2;
    setup.attributes = uint8_t(attributes);
    if (!readable)
        setup.alternates = {{"Sealed Flash  ", {{Flash, {{2, 16 * 1024, 'f'}}}}}};
    const SimDfuDevice dev = plugDfuDevice(setup);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    const QByteArray data = pattern(20000, 7);
    const dfulib::Image image(imageWith(0, {{Flash, data}}));
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QCOMPARE(unpacked(download(dev, m, image.get()).errorStatus), DFU_OK);
    QCOMPARE(dev.model->earlyStatusPolls(), 0u);
    QCOMPARE(memory(dev, 0, Flash, data.size()), data);
}

// An error the device reports stands whatever a read-back shows, even behind a stalled early
// request.
void DfuOperationsTest::errorBehindAStallStands()
{
    sim::DfuDeviceSpec setup = sim::DfuDeviceSpec::oneAlternate();
    setup.timing = sim::Timing::Realistic;
    setup.timeScale = 1; // the block's 8 ms of work outlast the early request
    setup.quirks.earlyStatus = sim::EarlyStatus::Stall;
    setup.quirks.stallKeepsWorkError = true;
    const SimDfuDevice dev = plugDfuDevice(setup);
    Mapping m;
    QCOMPARE(m.createFrom(dev.path.c_str()), DFU_OK);
    // The first block already holds what is sent (0xFF over erased flash), but the device
    // reports errWRITE for it, behind a stall of the early request.
    const QByteArray data = QByteArray(2048, '\xFF') + pattern(2048, 7);
    dfulib::Image erase(imageWith(0, {{Flash, data}})), image(imageWith(0, {{Flash, data}}));
    QCOMPARE(DFUFILES_FilterImageForOperation(erase.get(), &m.last(), DFU_OPERATION_ERASE, 0), DFU_OK);
    DFUOPS_SetHonourPollTimeouts(true);
    QCOMPARE(unpacked(runOperation(DFU_OPERATION_ERASE, erase.get(), dev.path).errorStatus), DFU_OK);
    DFUOPS_SetHonourPollTimeouts(false);
    sim::DfuFaults faults;
    faults.errorAtBlock = 1;
    dev.model->setFaults(faults);
    QCOMPARE(DFUFILES_FilterImageForOperation(image.get(), &m.last(), DFU_OPERATION_UPGRADE, 0), DFU_OK);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("DFU: operation 4 on .* failed"));
    const DfuOperationContext c = runOperation(DFU_OPERATION_UPGRADE, image.get(), dev.path);
    QCOMPARE(unpacked(c.errorStatus), DFU_ERROR_DEVICE_STATUS);
    QCOMPARE(int(c.lastDeviceStatus), 0x03);
    QCOMPARE(dev.model->earlyStatusStalls(), 1u);
}

QTEST_GUILESS_MAIN(DfuOperationsTest)
#include "tst_dfuoperations.moc"
