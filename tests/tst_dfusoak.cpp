// A long random run of downloads, uploads and returns on simulated devices of two layouts,
// each step with a quirk or fault of real boot loaders drawn at random. After every step:
// a success means the memory equals the image (download) or the image equals the memory
// (upload) or the device left (return); nothing hangs; and handles, mappings, threads and
// file descriptors come back to their starting counts.
//
// TOLVEX_SOAK_STEPS sets the number of steps (300 by default), TOLVEX_SOAK_SEED replays a run.
//   QTEST_FUNCTION_TIMEOUT=3600000 TOLVEX_SOAK_STEPS=30000 build/tests/tst_dfusoak

#include "Bytes.h"
#include "Internal.h"
#include "SimDfu.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

namespace {

constexpr int StepBoundMs = 20000;

enum Draw {
    None, Stall, ErrorStatus, Unplug, UnplugAsIo, UnplugAsPipe, UnplugAsTimeout, FlipBit, BusyForever, EraseError,
    ReadProtected, ClaimedElsewhere, IdleAfterBlock, IdleAfterReturn, ManifestWaitReset, ResetBeforeReturnAnswer,
    OddStrings, NoLanguageList, DrawCount
};
const char *const DrawNames[DrawCount] = {
    "none", "stall", "error status", "unplug", "unplug as I/O error", "unplug as stall", "unplug as timeout",
    "flipped bit", "busy forever", "erase error", "read protected", "claimed elsewhere", "dfuIDLE after a block",
    "dfuIDLE after the return", "dfuMANIFEST-WAIT-RESET", "reset before the return's answer", "odd strings",
    "no language list"};

// 64 pages of 2 KiB: the other layout, beside the sectors of 16 to 128 KiB.
sim::DfuDeviceSpec pagedSpec()
{
    sim::DfuDeviceSpec setup;
    setup.product = "Tolvex Paged Board";
    setup.alternates.push_back({"Internal Flash  ", {{0x08000000, {{64, 2048, 'g'}}}}});
    return setup;
}

int countEntries(const char *folder)
{
    return int(QDir(QString::fromLatin1(folder)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

struct Counts
{
    size_t images, mappings;
    int threads, files;
    bool operator==(const Counts &o) const
    {
        return images == o.images && mappings == o.mappings && threads == o.threads && files == o.files;
    }
};

Counts counts()
{
    return {dfu::images().size(), dfu::mappings().size(), countEntries("/proc/self/task"), countEntries("/proc/self/fd")};
}

} // namespace

class DfuSoakTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void randomRoad();
};

void DfuSoakTest::randomRoad()
{
    const int steps = qEnvironmentVariableIsSet("TOLVEX_SOAK_STEPS") ? qEnvironmentVariableIntValue("TOLVEX_SOAK_STEPS")
                                                                       : 300;
    const quint32 seed = qEnvironmentVariableIsSet("TOLVEX_SOAK_SEED")
                             ? quint32(qEnvironmentVariable("TOLVEX_SOAK_SEED").toUInt())
                             : QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const QByteArray replay = "replay with TOLVEX_SOAK_SEED=" + QByteArray::number(seed);
    // The library's warnings for the failures drawn are expected: thousands of them.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type == QtFatalMsg)
            qt_message_output(type, QMessageLogContext(), message);
    });
    DFUOPS_SetBusyLimitMs(200);

    const SimDfuDevice devices[2] = {plugDfuDevice(), plugDfuDevice(pagedSpec())};
    const Counts start = counts();
    int drawn[DrawCount] = {};
    int successes = 0;

    for (int step = 0; step < steps; ++step) {
        const SimDfuDevice &dev = devices[random.bounded(2)];
        const Draw draw = Draw(random.bounded(int(DrawCount)));
        ++drawn[draw];
        sim::DfuFaults faults;
        faults.once = true;
        sim::DfuQuirks quirks;
        const int block = 1 + random.bounded(6);
        switch (draw) {
        case Stall: faults.stallAtBlock = block; break;
        case ErrorStatus: faults.errorAtBlock = block; break;
        case Unplug: faults.disconnectAtBlock = block; break;
        case UnplugAsIo: faults.disconnectAtBlock = block; faults.disconnectAs = sim::ControlResult::IoError; break;
        case UnplugAsPipe: faults.disconnectAtBlock = block; faults.disconnectAs = sim::ControlResult::PipeError; break;
        case UnplugAsTimeout: faults.disconnectAtBlock = block; faults.disconnectAs = sim::ControlResult::Timeout; break;
        case FlipBit: faults.flipBitAtBlock = block; break;
        case BusyForever: faults.busyForever = true; break;
        case EraseError: faults.eraseErrorAt = 1 + random.bounded(3); break;
        case ReadProtected: faults.readProtected = true; break;
        case IdleAfterBlock: quirks.idleAfterBlock = true; break;
        case IdleAfterReturn: quirks.stateAfterReturn = 2; break;
        case ManifestWaitReset: quirks.manifestWaitReset = true; break;
        case ResetBeforeReturnAnswer: quirks.resetBeforeReturnAnswer = true; break;
        case OddStrings: quirks.oddStringLengths = true; break;
        case NoLanguageList: quirks.languageListStalls = true; break;
        default: break;
        }
        dev.model->setFaults(faults);
        dev.model->setQuirks(quirks);
        dev.model->setClaimedElsewhere(draw == ClaimedElsewhere);
        const QByteArray where = replay + ", step " + QByteArray::number(step) + " (" + DrawNames[draw] + ")";

        DfuMappingRecord *mapping = nullptr;
        uint32_t alternates = 0;
        QVERIFY2(DFUOPS_CreateMappingFromDevice(dev.path.c_str(), &mapping, &alternates) == DFU_OK, where);
        const DfuMappingRecord &last = mapping[alternates - 1];
        const size_t memoryIndex = alternates - 1;
        // The image of the last alternate as its mapping describes it, ready for `operation`.
        const auto mappedImage = [&](int32_t operation) {
            DfuImageHandle image = 0;
            DFUFILES_CreateImageFromMapping(&image, &last);
            DFUFILES_FilterImageForOperation(image, &last, operation, 0);
            return image;
        };
        const int operation = random.bounded(3);
        QElapsedTimer clock;
        clock.start();
        if (operation == 0) {
            // One to three elements, in order and apart, of random sizes and places.
            QList<QPair<uint32_t, QByteArray>> elements;
            uint32_t at = 0x08000000 + uint32_t(random.bounded(4096));
            for (int e = 1 + random.bounded(3); e > 0; --e) {
                const QByteArray data = pattern(1 + random.bounded(20000), quint8(random.bounded(256)));
                elements.append({at, data});
                at += uint32_t(data.size()) + uint32_t(random.bounded(9000));
            }
            DfuImageHandle image = 0, erase = 0;
            DFUFILES_CreateImage(last.alternate, "soak", &image);
            for (const auto &e : elements)
                DFUFILES_AppendElement(image, e.first, reinterpret_cast<const uint8_t *>(e.second.constData()),
                                       uint32_t(e.second.size()));
            DFUFILES_DuplicateImage(image, &erase);
            DFUFILES_FilterImageForOperation(erase, &last, DFU_OPERATION_ERASE, 0);
            DFUFILES_FilterImageForOperation(image, &last, DFU_OPERATION_UPGRADE, 0);
            DfuOperationContext c = runOperation(DFU_OPERATION_ERASE, erase, dev.path, StepBoundMs);
            if (c.errorStatus == DFU_OK)
                c = runOperation(DFU_OPERATION_UPGRADE, image, dev.path, StepBoundMs);
            if (c.errorStatus == DFU_OK) {
                ++successes;
                for (const auto &e : elements)
                    QVERIFY2(memory(dev, memoryIndex, e.first, e.second.size()) == e.second, where);
            }
            DFUFILES_DestroyImage(&image);
            DFUFILES_DestroyImage(&erase);
        } else if (operation == 1) {
            DfuImageHandle image = mappedImage(DFU_OPERATION_UPLOAD);
            const DfuOperationContext c = runOperation(DFU_OPERATION_UPLOAD, image, dev.path, StepBoundMs);
            if (c.errorStatus == DFU_OK) {
                ++successes;
                uint32_t count = 0;
                DFUFILES_GetElementCount(image, &count);
                QVERIFY2(count > 0, where);
                for (uint32_t i = 0; i < count; ++i) {
                    uint32_t address = 0, size = 0;
                    DFUFILES_GetElement(image, i, &address, &size, nullptr, 0);
                    QByteArray read(int(size), '\0');
                    DFUFILES_GetElement(image, i, &address, &size, reinterpret_cast<uint8_t *>(read.data()), size);
                    QVERIFY2(memory(dev, memoryIndex, address, int(size)) == read, where);
                }
            }
            DFUFILES_DestroyImage(&image);
        } else {
            DfuImageHandle image = mappedImage(DFU_OPERATION_RETURN);
            const DfuOperationContext c = runOperation(DFU_OPERATION_RETURN, image, dev.path, StepBoundMs);
            if (c.errorStatus == DFU_OK) {
                ++successes;
                QVERIFY2(!dev.model->connected(), where); // a return reported done has left DFU mode
            }
            DFUFILES_DestroyImage(&image);
        }
        DFUOPS_ReleaseMapping(mapping);
        QVERIFY2(clock.elapsed() < StepBoundMs, where + ": the step did not end");

        // A device that left (returned, or was unplugged by a fault) comes back in DFU mode.
        if (!dev.model->connected()) {
            sim::World::instance().unplug(dev.model);
            sim::World::instance().plug(dev.model, dev.port);
        }
        if (step % 50 == 49 || step == steps - 1)
            QVERIFY2(counts() == start, where + ": handles, mappings, threads or files were left behind");
    }
    QString figures;
    for (int d = 0; d < DrawCount; ++d)
        figures += QStringLiteral(" %1=%2").arg(QLatin1String(DrawNames[d])).arg(drawn[d]);
    qInstallMessageHandler(nullptr);
    qInfo("soak: %d steps, seed %u, %d successes, invariant failures: 0; drawn:%s", steps, seed, successes,
          qPrintable(figures));
    sim::World::instance().unplugAll();
    DFUOPS_SetBusyLimitMs(120000);
}

QTEST_GUILESS_MAIN(DfuSoakTest)
#include "tst_dfusoak.moc"
