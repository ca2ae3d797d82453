#include "DfuDeviceModel.h"

#include "LittleEndian.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

enum Request : uint8_t { Detach = 0, Download = 1, Upload = 2, GetStatus = 3, ClearStatus = 4, GetState = 5, Abort = 6 };
enum State : uint8_t {
    Idle = 2,
    DownloadSync = 3,
    DownloadBusy = 4,
    DownloadIdle = 5,
    ManifestSync = 6,
    Manifest = 7,
    ManifestWaitReset = 8,
    UploadIdle = 9,
    Error = 10,
};
enum Status : uint8_t {
    Ok = 0x00,
    ErrTarget = 0x01,
    ErrWrite = 0x03,
    ErrErase = 0x04,
    ErrProg = 0x06,
    ErrVendor = 0x0B,
    ErrStalledPacket = 0x0F,
};
enum Access : uint8_t { Read = 1, Erase = 2, Write = 4 };

constexpr uint32_t KiB = 1024;

TimingFigures figuresFor(const DfuDeviceSpec &setup)
{
    TimingFigures f;
    if (setup.timing == Timing::Realistic) {
        const double k = setup.timeScale;
        f.reportedCommandPoll = uint32_t(std::lround(100 * k));
        f.reportedWritePoll = uint32_t(std::lround(104 * k));
        f.writeMsPerKiB = 4 * k;   // a 2048-byte block in 8 ms
        f.readMsPerKiB = 1 * k;    // a 2048-byte upload block in 2 ms
        f.eraseScale = k;
    }
    if (setup.readMsPerKiB >= 0)
        f.readMsPerKiB = setup.readMsPerKiB;
    return f;
}

// Erase time of one sector, through the typical figures: 250 ms for 16 KiB, 550 ms for
// 64 KiB, 1000 ms for 128 KiB, in straight lines between them (and towards 0 below 16 KiB,
// 20 ms at least, as small pages take).
double eraseMs(uint32_t size)
{
    const double k = double(size) / KiB;
    if (k <= 16)
        return std::max(20.0, 250.0 * k / 16);
    if (k <= 64)
        return 250.0 + (k - 16) * (550.0 - 250.0) / 48;
    return 550.0 + (k - 64) * (1000.0 - 550.0) / 64;
}

using tolvex::le32;

} // namespace

DfuDeviceModel::DfuDeviceModel(const DfuDeviceSpec &s) : setup(s), figures(figuresFor(s))
{
    setIdentity({setup.vendorId, setup.productId, setup.release, setup.manufacturer, setup.product, setup.serial});

    for (size_t a = 0; a < setup.alternates.size(); ++a) {
        const AlternateSpec &alt = setup.alternates[a];
        layouts.push_back(layoutString(alt));
        const uint8_t stringIndex = addString(layouts.back());
        const uint8_t number = a < setup.quirks.alternateNumbers.size() ? setup.quirks.alternateNumbers[a] : uint8_t(a);
        interfaceBytes.insert(interfaceBytes.end(), {9, 4, 0, number, 0, 0xFE, 0x01, 0x02, stringIndex});
        Memory memory;
        for (const RegionSpec &region : alt.regions) {
            uint32_t address = region.start;
            for (const SectorGroupSpec &g : region.groups) {
                for (uint32_t i = 0; i < g.count; ++i) {
                    memory.sectors.push_back({address, g.size, uint8_t((g.access - 'a' + 1) & 7),
                                              std::vector<uint8_t>(g.size, 0xFF)});
                    address += g.size;
                }
            }
        }
        memories.push_back(std::move(memory));
    }
    // The functional descriptor follows the last alternate setting.
    std::vector<uint8_t> functional = {setup.functionalLength, 0x21, setup.attributes, 255, 0,
                                       uint8_t(setup.transferSize), uint8_t(setup.transferSize >> 8),
                                       uint8_t(setup.dfuVersion), uint8_t(setup.dfuVersion >> 8)};
    functional.resize(std::max<size_t>(setup.functionalLength, 2), 0);
    interfaceBytes.insert(interfaceBytes.end(), functional.begin(), functional.end());
    setQuirks(setup.quirks);
}

void DfuDeviceModel::setQuirks(const DfuQuirks &quirks)
{
    std::lock_guard<std::mutex> lock(mutex);
    // The alternate numbers are part of the descriptors, fixed at construction.
    const std::vector<uint8_t> numbers = setup.quirks.alternateNumbers;
    setup.quirks = quirks;
    setup.quirks.alternateNumbers = numbers;
    languageListStalls = quirks.languageListStalls;
    oddStringLengths = quirks.oddStringLengths;
    stringLengthPastData = quirks.stringLengthPastData;
}

void DfuDeviceModel::setLayoutString(size_t alt, const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (alt < layouts.size()) {
        layouts[alt] = text;
        strings[3 + alt] = text;
    }
}

bool DfuDeviceModel::hit(int &fault, int count)
{
    if (fault != count)
        return false;
    if (faults.once)
        fault = 0;
    return true;
}

DfuFaults DfuDeviceModel::armedFaults() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return faults;
}

void DfuDeviceModel::setFaults(const DfuFaults &f)
{
    std::lock_guard<std::mutex> lock(mutex);
    faults = f;
    dataBlocks = 0;
    uploadBlocks = 0;
    eraseCommands = 0;
}

void DfuDeviceModel::setTiming(Timing timing)
{
    std::lock_guard<std::mutex> lock(mutex);
    setup.timing = timing;
    figures = figuresFor(setup);
}

void DfuDeviceModel::setOnLeave(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(mutex);
    onLeave = std::move(callback);
}

uint64_t DfuDeviceModel::busyMilliseconds() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return busyTotalMs;
}

uint64_t DfuDeviceModel::earlyStatusPolls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return earlyPolls;
}

uint64_t DfuDeviceModel::workMilliseconds() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return uint64_t(workTotalMs + 0.5);
}

uint64_t DfuDeviceModel::earlyStatusStalls() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return earlyStalls;
}

uint64_t DfuDeviceModel::erasedSectorCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return erased.size();
}

std::vector<uint32_t> DfuDeviceModel::erasedSectors() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return erased;
}

uint8_t DfuDeviceModel::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return dfuState;
}

void DfuDeviceModel::restart()
{
    alternate = 0;
    dfuState = Idle;
    dfuStatus = Ok;
    pointer = 0;
    pending.clear();
    pendingBlock = 0;
    dataBlocks = 0;
    uploadBlocks = 0;
    eraseCommands = 0;
    dropAfterAnswer = false;
    dropPending = false;
    result = Ok;
    leavePending = false;
}

bool DfuDeviceModel::setInterface(uint8_t interfaceNumber, uint8_t number)
{
    if (interfaceNumber != 0)
        return false;
    const std::vector<uint8_t> &numbers = setup.quirks.alternateNumbers;
    for (size_t a = 0; a < memories.size(); ++a) {
        if ((a < numbers.size() ? numbers[a] : uint8_t(a)) == number) {
            alternate = uint8_t(a);
            return true;
        }
    }
    return false;
}

uint64_t DfuDeviceModel::blockAddress(uint16_t block) const
{
    return uint64_t(pointer) + uint64_t(block - 2) * setup.transferSize;
}

void DfuDeviceModel::error(uint8_t status)
{
    dfuState = Error;
    dfuStatus = status;
}

void DfuDeviceModel::startBusy(uint32_t reportedMs, double workMs)
{
    const auto now = Clock::now();
    const auto work = std::chrono::microseconds(int64_t(workMs * 1000));
    busyUntil = now + work;
    pollAllowedAt = now + std::chrono::milliseconds(reportedMs);
    reportedPoll = reportedMs;
    busyTotalMs += uint64_t(std::max<double>(reportedMs, workMs) + 0.5);
    workTotalMs += workMs;
}

ControlResult DfuDeviceModel::classRequest(const SetupPacket &setup, uint8_t *data)
{
    if (setup.wIndex != 0)
        return ControlResult::stall();
    switch (setup.bRequest) {
    case Download:
        if (setup.isIn())
            break;
        return download(setup, data);
    case Upload:
        if (!setup.isIn())
            break;
        return upload(setup, data);
    case GetStatus:
        if (!setup.isIn() || setup.wLength < 6)
            break;
        return getStatus(setup, data);
    case GetState:
        if (!setup.isIn() || setup.wLength < 1)
            break;
        data[0] = dfuState;
        return ControlResult::ok(1);
    case ClearStatus:
        if (dfuState != Error)
            break;
        dfuState = Idle;
        dfuStatus = Ok;
        return ControlResult::ok(0);
    case Abort:
        if (dfuState == DownloadBusy || dfuState == Error || dfuState == Manifest)
            break;
        dfuState = Idle;
        return ControlResult::ok(0);
    default:
        break;
    }
    error(ErrStalledPacket);
    return ControlResult::stall();
}

ControlResult DfuDeviceModel::download(const SetupPacket &setup, const uint8_t *data)
{
    if (dfuState != Idle && dfuState != DownloadIdle) {
        error(ErrStalledPacket);
        return ControlResult::stall();
    }
    if (setup.wLength == 0) {
        // The end of the download: manifest, that is, start the application.
        if (this->setup.quirks.resetBeforeReturnAnswer) {
            leavePending = true;
            return ControlResult::gone(ControlResult::IoError);
        }
        dfuState = this->setup.quirks.stateAfterReturn ? this->setup.quirks.stateAfterReturn : uint8_t(ManifestSync);
        return ControlResult::ok(0);
    }
    if (setup.wValue == 1) {
        error(ErrStalledPacket);
        return ControlResult::stall();
    }
    if (setup.wValue >= 2) {
        ++dataBlocks;
        if (hit(faults.disconnectAtBlock, dataBlocks)) {
            disconnect();
            return ControlResult::gone(faults.disconnectAs);
        }
        if (hit(faults.stallAtBlock, dataBlocks)) {
            error(ErrStalledPacket);
            return ControlResult::stall();
        }
    }
    pending.assign(data, data + setup.wLength);
    pendingBlock = setup.wValue;
    dfuState = DownloadSync;
    return ControlResult::ok(setup.wLength);
}

void DfuDeviceModel::execute()
{
    result = Ok;
    const size_t alt = alternate;
    if (pendingBlock == 0) {
        const uint8_t code = pending[0];
        if (code == 0x21 && pending.size() == 5) {
            const uint32_t address = le32(&pending[1]);
            if (faults.readProtected)
                result = ErrVendor;
            else if (!sectorAt(alt, address))
                result = ErrTarget;
            else
                pointer = address;
            startBusy(figures.reportedCommandPoll, 0);
        } else if (code == 0x41 && (pending.size() == 5 || pending.size() == 1)) {
            double work = 0;
            ++eraseCommands;
            if (hit(faults.disconnectAfterErase, eraseCommands))
                dropAfterAnswer = true;
            if (faults.readProtected) {
                result = ErrVendor;
            } else if (hit(faults.eraseErrorAt, eraseCommands)) {
                result = ErrErase;
            } else if (pending.size() == 1) {
                for (Sector &s : memories[alt].sectors) {
                    if (s.access & Erase) {
                        std::fill(s.bytes.begin(), s.bytes.end(), 0xFF);
                        erased.push_back(s.address);
                        work += figures.eraseScale * eraseMs(s.size);
                    }
                }
            } else {
                Sector *s = sectorAt(alt, le32(&pending[1]));
                if (!s || !(s->access & Erase)) {
                    result = ErrTarget;
                } else {
                    std::fill(s->bytes.begin(), s->bytes.end(), 0xFF);
                    erased.push_back(s->address);
                    work = figures.eraseScale * eraseMs(s->size);
                }
            }
            if (setup.quirks.eraseMs)
                work = setup.quirks.eraseMs;
            startBusy(figures.reportedCommandPoll, work);
        } else if (code == 0x92 && pending.size() == 1) {
            // Read unprotect: the device erases itself and restarts.
            for (Memory &m : memories)
                for (Sector &s : m.sectors)
                    if (s.access & Erase)
                        std::fill(s.bytes.begin(), s.bytes.end(), 0xFF);
            faults.readProtected = false;
            startBusy(figures.reportedCommandPoll, 0);
            leavePending = true;
        } else {
            result = ErrStalledPacket;
            startBusy(0, 0);
        }
        return;
    }

    const uint64_t address = blockAddress(pendingBlock);
    pendingAddress = uint32_t(address);
    const double work = figures.writeMsPerKiB * double(pending.size()) / KiB;
    startBusy(figures.reportedWritePoll ? figures.reportedWritePoll : uint32_t(std::ceil(work)), work);
    if (faults.readProtected) {
        result = ErrVendor;
        return;
    }
    if (address > 0xFFFFFFFFu || !rangeAccess(alt, uint32_t(address), pending.size(), Write)) {
        result = ErrTarget;
        return;
    }
    if (hit(faults.errorAtBlock, dataBlocks)) {
        result = ErrWrite;
        return;
    }
    // Programming can only clear bits of an erasable cell: a cell not erased fails.
    const size_t programmable = walk(alt, address, pending.size(), [&](Sector &s, size_t at, size_t from, size_t n) {
        if (!(s.access & Erase))
            return true;
        for (size_t i = 0; i < n; ++i)
            if ((s.bytes[at + i] & pending[from + i]) != pending[from + i])
                return false;
        return true;
    });
    if (programmable != pending.size()) {
        result = ErrProg;
        return;
    }
    walk(alt, address, pending.size(), [&](Sector &s, size_t at, size_t from, size_t n) {
        std::memcpy(s.bytes.data() + at, pending.data() + from, n);
        return true;
    });
    if (faults.deadCellAt >= address && faults.deadCellAt - address < pending.size()) {
        Sector *s = sectorAt(alt, faults.deadCellAt);
        s->bytes[faults.deadCellAt - s->address] = 0xFF;
    }
    if (hit(faults.flipBitAtBlock, dataBlocks)) {
        Sector *s = sectorAt(alt, uint32_t(address));
        s->bytes[address - s->address] ^= 0x01;
    }
}

ControlResult DfuDeviceModel::getStatus(const SetupPacket &request, uint8_t *data)
{
    uint32_t poll = 0;
    switch (dfuState) {
    case DownloadSync:
        execute();
        dfuState = DownloadBusy;
        poll = setup.quirks.hugePollTimeout ? 0xFFFFFF : reportedPoll;
        break;
    case DownloadBusy: {
        const auto now = Clock::now();
        if (now < pollAllowedAt) {
            ++earlyPolls;
            const EarlyStatus early = setup.quirks.earlyStatus;
            const bool working = now < busyUntil;
            if ((early == EarlyStatus::Stall || early == EarlyStatus::StallHalfWritten) && working) {
                ++earlyStalls;
                if (early == EarlyStatus::StallHalfWritten && pendingBlock >= 2 && result == Ok)
                    unprogramSecondHalf();
                error(setup.quirks.stallKeepsWorkError && result != Ok ? result : uint8_t(ErrStalledPacket));
                return ControlResult::stall();
            }
            if (early == EarlyStatus::AnswerBusy && working && !faults.busyForever) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(busyUntil - now).count() + 1;
                poll = uint32_t(left);
                break;
            }
        }
        if (faults.busyForever) {
            poll = setup.quirks.hugePollTimeout ? 0xFFFFFF : reportedPoll;
            break;
        }
        // A busy device does not answer until its work is done; the host gives up first
        // when its transfer timeout is shorter.
        if (now < busyUntil) {
            const auto timeout = std::chrono::milliseconds(request.timeoutMs);
            if (request.timeoutMs && busyUntil - now > timeout) {
                answerAt = now + timeout;
                return ControlResult::timedOut();
            }
            answerAt = busyUntil;
        }
        if (result != Ok)
            error(result);
        else if (setup.quirks.idleAfterBlock && pendingBlock >= 2)
            dfuState = Idle;
        else
            dfuState = DownloadIdle;
        if (dropAfterAnswer) {
            dropAfterAnswer = false;
            dropPending = true; // answers this status, then is gone
        }
        break;
    }
    case ManifestSync:
        if (setup.quirks.manifestWaitReset) {
            dfuState = ManifestWaitReset;
            break;
        }
        dfuState = Manifest;
        leavePending = true;
        break;
    default:
        break;
    }
    const uint8_t answer[6] = {dfuStatus, uint8_t(poll), uint8_t(poll >> 8), uint8_t(poll >> 16), dfuState, 0};
    std::memcpy(data, answer, sizeof answer);
    return ControlResult::ok(sizeof answer);
}

ControlResult DfuDeviceModel::upload(const SetupPacket &setup, uint8_t *data)
{
    if ((dfuState != Idle && dfuState != UploadIdle) || setup.wValue == 1) {
        error(ErrStalledPacket);
        return ControlResult::stall();
    }
    size_t n = 0;
    if (setup.wValue == 0) {
        const uint8_t commands[4] = {0x00, 0x21, 0x41, 0x92};
        n = std::min<size_t>(sizeof commands, setup.wLength);
        std::memcpy(data, commands, n);
    } else {
        if (faults.readProtected || hit(faults.uploadStallAt, ++uploadBlocks)) {
            error(faults.readProtected ? ErrVendor : ErrStalledPacket);
            return ControlResult::stall();
        }
        const uint64_t address = blockAddress(setup.wValue);
        // As much as is readable from the address on; the rest makes the answer short.
        n = walk(alternate, address, setup.wLength, [&](Sector &s, size_t at, size_t to, size_t count) {
            if (!(s.access & Read))
                return false;
            std::memcpy(data + to, s.bytes.data() + at, count);
            return true;
        });
        if (n == 0) {
            error(ErrTarget);
            return ControlResult::stall();
        }
    }
    dfuState = n < setup.wLength ? Idle : UploadIdle;
    if (setup.wValue >= 2 && figures.readMsPerKiB > 0) {
        const double work = figures.readMsPerKiB * double(n) / KiB;
        workTotalMs += work;
        busyTotalMs += uint64_t(work + 0.5);
        answerAt = Clock::now() + std::chrono::microseconds(int64_t(work * 1000));
    }
    return ControlResult::ok(n);
}

void DfuDeviceModel::unprogramSecondHalf()
{
    // Cut off mid-block: the second half of the block was never programmed.
    const size_t half = pending.size() / 2;
    walk(alternate, uint64_t(pendingAddress) + half, pending.size() - half, [&](Sector &s, size_t at, size_t, size_t n) {
        if (s.access & Erase)
            std::fill(s.bytes.begin() + long(at), s.bytes.begin() + long(at + n), 0xFF);
        return true;
    });
}

bool DfuDeviceModel::leavesOnReset()
{
    // The reset is what a device waiting in dfuMANIFEST-WAIT-RESET needs to start its application.
    if (dfuState != ManifestWaitReset)
        return false;
    leavePending = true;
    return true;
}

void DfuDeviceModel::afterRequest()
{
    std::function<void()> callback;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!leavePending && !dropPending)
            return;
        if (leavePending)
            callback = onLeave;
        leavePending = dropPending = false;
    }
    // The device drops off the bus; when leaving DFU mode, to start its application.
    disconnect();
    if (callback)
        callback();
}

} // namespace sim
