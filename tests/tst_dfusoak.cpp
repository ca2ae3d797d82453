// A long random run of downloads, uploads and returns on simulated devices of three layouts
// (one of them with two flash memories at their own addresses), each step with a quirk or
// fault of real boot loaders drawn at random, on instant timing or on the ROM profile and
// its strict and non-blocking variants (scaled down in time), sometimes on a device swapped
// for another on the same port. After every step: a download reported done leaves every
// sector it touched as a full download would (the image's bytes, erased bytes elsewhere in
// those sectors) and every other byte as it was, and a failed one changes nothing outside
// the sectors it touched; an upload equals the memory; a return has left; nothing hangs;
// and handles, mappings, threads and file descriptors come back to their starting counts.
//
// TOLVEX_SOAK_STEPS sets the number of steps (300 by default), TOLVEX_SOAK_SEED replays a run.
//   QTEST_FUNCTION_TIMEOUT=3600000 TOLVEX_SOAK_STEPS=30000 build/tests/tst_dfusoak

#include "Bytes.h"
#include "DfuHandles.h"
#include "Internal_p.h"
#include "LibraryLog_p.h"
#include "SimDfu.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTest>

namespace {

// The library's diagnostics in Qt's message output, as the program's are.
const bool libraryLogRouted = (routeDfuLibraryLog(), true);

constexpr int StepBoundMs = 20000;

enum Draw {
    None, Stall, ErrorStatus, Unplug, UnplugAsIo, UnplugAsPipe, UnplugAsTimeout, FlipBit, BusyForever, EraseError,
    ReadProtected, ClaimedElsewhere, IdleAfterBlock, IdleAfterReturn, ManifestWaitReset, ResetBeforeReturnAnswer,
    OddStrings, NoLanguageList, Swapped, DrawCount
};
const char *const DrawNames[DrawCount] = {
    "none", "stall", "error status", "unplug", "unplug as I/O error", "unplug as stall", "unplug as timeout",
    "flipped bit", "busy forever", "erase error", "read protected", "claimed elsewhere", "dfuIDLE after a block",
    "dfuIDLE after the return", "dfuMANIFEST-WAIT-RESET", "reset before the return's answer", "odd strings",
    "no language list", "another device on the same port"};

// How a step's device times its work: instant, or the ROM profile and its variants.
enum Timing { Instant, Rom, Strict, StrictHalfWritten, NonBlocking, TimingCount };
const char *const TimingNames[TimingCount] = {"instant", "ROM", "strict", "strict, half-written block",
                                             "non-blocking"};
// The ROM profile at a fiftieth of its time: 300 steps in seconds, its shape kept.
constexpr double SoakTimeScale = 0.02;

// 64 pages of 2 KiB: the other layout, beside the sectors of 16 to 128 KiB.
sim::DfuDeviceSpec pagedSpec()
{
    sim::DfuDeviceSpec setup;
    setup.product = "Tolvex Paged Board";
    setup.alternates.push_back({"Internal Flash  ", {{0x08000000, {{64, 2048, 'g'}}}}});
    return setup;
}

sim::DfuDeviceSpec scaled(sim::DfuDeviceSpec setup)
{
    setup.timeScale = SoakTimeScale;
    return setup;
}

// The memory of one alternate, whole: its regions as the layout describes them.
QByteArray wholeMemory(const SimDfuDevice &dev, size_t alternate, const dfulib::MemoryLayout &layout)
{
    QByteArray all;
    for (const dfulib::SectorGroup &g : layout.groups)
        all += memory(dev, alternate, g.start, int(g.end() - g.start));
    return all;
}

// Where `address` lies in wholeMemory(); -1 outside.
int offsetIn(const dfulib::MemoryLayout &layout, uint32_t address)
{
    int offset = 0;
    for (const dfulib::SectorGroup &g : layout.groups) {
        if (address >= g.start && address < g.end())
            return offset + int(address - g.start);
        offset += int(g.end() - g.start);
    }
    return -1;
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
    return {dfulib::images().size(), dfulib::mappings().size(), countEntries("/proc/self/task"),
        countEntries("/proc/self/fd")};
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

    const sim::DfuDeviceSpec specs[3] = {scaled(sim::DfuDeviceSpec::twoAlternates()), scaled(pagedSpec()),
                                         scaled(sim::DfuDeviceSpec::twoFlashes())};
    SimDfuDevice devices[3] = {plugDfuDevice(specs[0]), plugDfuDevice(specs[1]), plugDfuDevice(specs[2])};
    const Counts start = counts();
    int drawn[DrawCount] = {};
    int timings[TimingCount] = {};
    int successes = 0;

    for (int step = 0; step < steps; ++step) {
        const int which = random.bounded(3);
        SimDfuDevice &dev = devices[which];
        const Draw draw = Draw(random.bounded(int(DrawCount)));
        ++drawn[draw];
        if (draw == Swapped) {
            // The one that was there is gone; another, holding something else, takes its port.
            sim::World::instance().unplug(dev.model);
            dev.model = std::make_shared<sim::DfuDeviceModel>(specs[which]);
            const QByteArray junk = pattern(30000, quint8(random.bounded(256)));
            dev.model->writeMemory(dev.model->alternateCount() - 1, which == 2 ? 0x08100000 : 0x08000000,
                                   reinterpret_cast<const uint8_t *>(junk.constData()), size_t(junk.size()));
            sim::World::instance().plug(dev.model, dev.port);
        }
        const Timing timing = Timing(random.bounded(int(TimingCount)));
        ++timings[timing];
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
        static const sim::EarlyStatus early[TimingCount] = {
            sim::EarlyStatus::AnswerWhenDone, sim::EarlyStatus::AnswerWhenDone, sim::EarlyStatus::Stall,
            sim::EarlyStatus::StallHalfWritten, sim::EarlyStatus::AnswerBusy};
        quirks.earlyStatus = early[timing];
        dev.model->setTiming(timing == Instant ? sim::Timing::Instant : sim::Timing::Realistic);
        dev.model->setFaults(faults);
        dev.model->setQuirks(quirks);
        dev.model->setClaimedElsewhere(draw == ClaimedElsewhere);
        const QByteArray where = replay + ", step " + QByteArray::number(step) + " (" + DrawNames[draw] + ", "
                                 + TimingNames[timing] + ")";

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
            // Into either flash of the two-flash device, else into the last alternate.
            const uint32_t alternate = which == 2 ? uint32_t(random.bounded(2)) : alternates - 1;
            const DfuMappingRecord &record = mapping[alternate];
            const dfulib::MemoryLayout layout =
                dfulib::mappings().get(record.mappingId)->layouts[record.alternateIndex];
            const uint32_t base = layout.regionStarts.front();
            const int size = wholeMemory(dev, alternate, layout).size();
            // One to three elements, in order and apart, of random sizes and places.
            QList<QPair<uint32_t, QByteArray>> elements;
            int at = random.bounded(4096);
            for (int e = 1 + random.bounded(3); e > 0 && at < size; --e) {
                const QByteArray data = pattern(1 + random.bounded(std::min(20000, size - at)), quint8(random.bounded(256)));
                elements.append({base + uint32_t(at), data});
                at += data.size() + random.bounded(9000);
            }
            // Sometimes the device already holds part of the image, so that sectors are kept.
            if (random.bounded(3) == 0) {
                const auto &e = elements[random.bounded(elements.size())];
                dev.model->writeMemory(alternate, e.first, reinterpret_cast<const uint8_t *>(e.second.constData()),
                                       size_t(e.second.size()));
            }
            dfulib::Image image;
            DFUFILES_CreateImage(record.alternate, "soak", image.receive());
            for (const auto &e : elements)
                DFUFILES_AppendElement(image.get(), e.first, reinterpret_cast<const uint8_t *>(e.second.constData()),
                                       uint32_t(e.second.size()));
            DFUFILES_FilterImageForOperation(image.get(), &record, DFU_OPERATION_DOWNLOAD, 0);
            const int32_t flag = random.bounded(4) == 0 ? DFU_FLAG_FULL_DOWNLOAD : 0;
            const QByteArray before = wholeMemory(dev, alternate, layout);
            const DfuOperationContext c = runOperation(DFU_OPERATION_DOWNLOAD, image.get(), dev.path, StepBoundMs, 1, flag);
            // What a full download leaves: every touched sector erased, then the image.
            QByteArray full = before;
            QByteArray touched(before.size(), '\0');
            for (const auto &e : elements) {
                layout.forEachSector(e.first, uint64_t(e.second.size()), [&](const dfulib::Sector &sector) {
                    const int from = offsetIn(layout, sector.address);
                    full.replace(from, int(sector.size), QByteArray(int(sector.size), '\xFF'));
                    touched.replace(from, int(sector.size), QByteArray(int(sector.size), '\x01'));
                    return true;
                });
            }
            for (const auto &e : elements)
                full.replace(offsetIn(layout, e.first), e.second.size(), e.second);
            const QByteArray after = wholeMemory(dev, alternate, layout);
            if (c.errorStatus == DFU_OK) {
                ++successes;
                QVERIFY2(after == full, where + ": the memory is not what a full download leaves");
            } else {
                int changed = -1;
                for (int i = 0; i < after.size() && changed < 0; ++i)
                    changed = !touched[i] && after[i] != before[i] ? i : -1;
                QVERIFY2(changed < 0, where + ": a failed download changed an untouched sector");
            }
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
    figures += QStringLiteral("; timing:");
    for (int t = 0; t < TimingCount; ++t)
        figures += QStringLiteral(" %1=%2").arg(QLatin1String(TimingNames[t])).arg(timings[t]);
    qInstallMessageHandler(nullptr);
    qInfo("soak: %d steps, seed %u, %d successes, invariant failures: 0; drawn:%s", steps, seed, successes,
          qPrintable(figures));
    sim::World::instance().unplugAll();
    DFUOPS_SetBusyLimitMs(120000);
}

QTEST_GUILESS_MAIN(DfuSoakTest)
#include "tst_dfusoak.moc"
