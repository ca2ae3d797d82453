// DFUOPS: erase, upgrade, upload and return operations, each on a worker thread of its own.
// The worker owns the live context; callers get copies of it under the operation's mutex.

#include "Internal.h"
#include "UsbAnswers.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <zlib.h>
#include <thread>

using namespace dfu;
using Clock = std::chrono::steady_clock;

namespace {

enum Request : uint8_t { Detach = 0, Download = 1, Upload = 2, GetStatus = 3, ClearStatus = 4, GetState = 5, Abort = 6 };
constexpr uint8_t RequestOut = LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;
constexpr uint8_t RequestIn = LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;
constexpr uint8_t CommandSetAddress = 0x21, CommandErase = 0x41;
constexpr unsigned TransferTimeoutMs = 5000;
constexpr uint16_t FirstDataBlock = 2;
// Linux's usbfs takes at most this much data in one control transfer (libusb's limit).
constexpr uint16_t MaxControlData = 4096;
// The longest single wait for a busy device before it is asked again.
constexpr uint32_t WaitSliceMs = 1000;

std::atomic<uint32_t> busyLimitMs{120000};
std::atomic<bool> honourPollsAlways{false};
// Early status requests: the longest short wait between two of them to a busy device.
constexpr uint32_t MaxEarlyWaitMs = 64;

enum Phase : uint32_t { PhaseIdle = 0, PhaseErase = 1, PhaseWrite = 2, PhaseVerify = 3, PhaseRead = 4, PhaseLeave = 5, PhaseDone = 6 };

struct Operation
{
    ~Operation()
    {
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            cancel = true;
        }
        wake.notify_all();
        thread.join();
    }

    std::mutex mutex;
    std::condition_variable wake;
    DfuOperationContext context{};     // guarded by mutex
    bool cancel = false;               // guarded by mutex
    std::thread thread;
    std::shared_ptr<OpenDevice> device;
    ImageData image;                   // the worker's own copy
    DfuImageHandle imageHandle = 0;
};

// Sectors an erase found already holding what the image wants, by device path: the upgrade
// that follows skips their writes. Each is kept with the CRC of what it must hold, so that
// another image never passes for the one compared.
std::mutex keptMutex;
std::map<std::string, std::map<uint32_t, uint32_t>> &keptSectors()
{
    static auto *kept = new std::map<std::string, std::map<uint32_t, uint32_t>>;
    return *kept;
}

std::map<uint32_t, uint32_t> takeKeptSectors(const std::string &path)
{
    std::lock_guard<std::mutex> lock(keptMutex);
    auto &kept = keptSectors();
    const auto it = kept.find(path);
    if (it == kept.end())
        return {};
    std::map<uint32_t, uint32_t> out = std::move(it->second);
    kept.erase(it);
    return out;
}

Registry<Operation> &operations()
{
    // Never destroyed: operations may still run while static objects are torn down.
    static auto *registry = new Registry<Operation>;
    return *registry;
}

struct Failure
{
    DfuStatus status;
};

// A status request sent before the device's poll timeout was stalled (the device is back
// in dfuIDLE): what the device was doing may be undone, and its poll timeouts must be kept.
struct EarlyStall
{
};

// The same, during the data block at `address`, `length` bytes long.
struct BlockStall
{
    uint32_t address;
    uint32_t length;
};

// The DFU requests of one operation. Every request checks for a stop first; failures
// throw a Failure that the worker turns into the context's error status.
class Link
{
public:
    // Blocks are of the device's transfer size where libusb can carry it; smaller blocks
    // each get an address of their own, since the device places a block by its transfer size.
    Link(Operation &op, OpenDevice &device, uint16_t deviceTransferSize)
        : op(op), device(device), transferSize(std::min(deviceTransferSize, MaxControlData)),
          addressEachBlock(transferSize != deviceTransferSize),
          early(!honourPollsAlways.load() && !device.honourPolls.load())
    {
    }

    // Whether status requests still go out before the device's poll timeouts.
    bool earlyRequests() const { return early; }

    // From now on the device's poll timeouts are waited out, for this device's operations
    // to come too; said once per device.
    void honourPollTimeouts(const char *why)
    {
        early = false;
        {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.usbError = 0;
        }
        if (!device.honourPolls.exchange(true))
            qWarning("DFU: %s %s; its poll timeouts are waited out from now on.", device.path.c_str(), why);
    }

    void checkStop()
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        if (op.cancel)
            throw Failure{DFU_ERROR_STOPPED};
    }

    // Sleeps as long as the device asked, but at most a slice (a device may report hours
    // of garbage; a busy one says so again when asked) and never past `deadline`. A stop
    // ends the wait at once.
    void waitFor(uint32_t ms, Clock::time_point deadline)
    {
        const auto start = Clock::now();
        const auto until = std::min(start + std::chrono::milliseconds(std::min(ms, WaitSliceMs)), deadline);
        std::unique_lock<std::mutex> lock(op.mutex);
        op.wake.wait_until(lock, until, [&] { return op.cancel; });
        op.context.deviceWaitMs +=
            uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (op.cancel)
            throw Failure{DFU_ERROR_STOPPED};
    }

    int transfer(uint8_t type, uint8_t request, uint16_t value, uint8_t *data, uint16_t length)
    {
        checkStop();
        const int r = libusb_control_transfer(device.handle, type, request, value, uint16_t(device.interfaceNumber),
                                              data, length, TransferTimeoutMs);
        if (r == LIBUSB_ERROR_NO_DEVICE)
            device.gone = true;
        return r;
    }

    void fail(int usbError)
    {
        {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.usbError = usbError;
        }
        if (usbError == LIBUSB_ERROR_PIPE)
            clearAfterStall();
        throw Failure{statusFromUsb(usbError)};
    }

    // A stalled request leaves the device in dfuERROR; clear it so that it can be used
    // again without a replug. Best effort: the stall is what gets reported.
    void clearAfterStall()
    {
        uint8_t answer[6];
        const int r = libusb_control_transfer(device.handle, RequestIn, GetStatus, 0, uint16_t(device.interfaceNumber),
                                              answer, sizeof answer, TransferTimeoutMs);
        StatusAnswer s;
        if (r >= 0 && parseStatusAnswer(answer, size_t(r), s) && s.state == StateError) {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.lastDeviceState = s.state;
            op.context.lastDeviceStatus = s.status;
        }
        libusb_control_transfer(device.handle, RequestOut, ClearStatus, 0, uint16_t(device.interfaceNumber), nullptr,
                                0, TransferTimeoutMs);
    }

    // One GETSTATUS. With a deadline, a device that holds the request past the transfer
    // timeout (as a boot loader busy with a long erase does) is asked again until then.
    StatusAnswer status(Clock::time_point deadline = Clock::time_point())
    {
        uint8_t answer[6];
        int r = transfer(RequestIn, GetStatus, 0, answer, sizeof answer);
        while (r == LIBUSB_ERROR_TIMEOUT && !device.gone && Clock::now() < deadline)
            r = transfer(RequestIn, GetStatus, 0, answer, sizeof answer);
        if (r < 0)
            fail(r);
        StatusAnswer s;
        if (!parseStatusAnswer(answer, size_t(r), s))
            throw Failure{DFU_ERROR_DEVICE_STATE};
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.lastDeviceState = s.state;
        op.context.lastDeviceStatus = s.status;
        return s;
    }

    void simple(uint8_t request)
    {
        const int r = transfer(RequestOut, request, 0, nullptr, 0);
        if (r < 0)
            fail(r);
    }

    // After an error: clear it so the device is usable again, and report the device's status.
    [[noreturn]] void deviceError(const StatusAnswer &s)
    {
        const uint8_t code = s.status;
        try {
            simple(ClearStatus);
        } catch (const Failure &) {
        }
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.lastDeviceStatus = code;
        throw Failure{DFU_ERROR_DEVICE_STATUS};
    }

    // After an unexpected state: back to dfuIDLE, best effort, so the device is usable again.
    [[noreturn]] void unexpectedState(const StatusAnswer &s)
    {
        try {
            simple(s.state == StateError ? ClearStatus : Abort);
        } catch (const Failure &) {
        }
        throw Failure{DFU_ERROR_DEVICE_STATE};
    }

    // Brings the device to dfuIDLE from wherever an earlier run left it.
    void ensureIdle()
    {
        StatusAnswer s = status();
        if (s.state == StateError)
            simple(ClearStatus);
        else if (s.state != StateIdle)
            simple(Abort);
        else
            return;
        s = status();
        if (s.state == StateError)
            deviceError(s);
        if (s.state != StateIdle)
            throw Failure{DFU_ERROR_DEVICE_STATE};
    }

    // The status exchange after a download, bounded overall whatever poll timeout the
    // device reports. The first request starts the device's work. Then, with early requests,
    // the next goes out at once: a device that holds it until its work is done costs exactly
    // its work, and one that answers busy is asked again after short, growing waits, never
    // longer than it asked for. Otherwise every poll timeout is waited out.
    StatusAnswer settle()
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(busyLimitMs.load());
        StatusAnswer s = status(deadline);
        uint32_t shortWait = 0;
        while (s.state == StateDownloadBusy || s.state == StateDownloadSync) {
            if (s.status != 0)
                deviceError(s);
            if (early) {
                waitFor(std::min(shortWait, s.pollTimeoutMs), deadline);
                shortWait = std::min(std::max(2 * shortWait, 1u), MaxEarlyWaitMs);
            } else {
                waitFor(s.pollTimeoutMs, deadline);
            }
            if (Clock::now() >= deadline)
                throw Failure{DFU_ERROR_DEVICE_BUSY};
            if (!early) {
                s = status(deadline);
                continue;
            }
            try {
                s = status(deadline);
            } catch (const Failure &f) {
                // fail() has cleared the stall: the device is in dfuIDLE again.
                if (f.status == DFU_ERROR_STALL && !device.gone)
                    throw EarlyStall{};
                throw;
            }
        }
        if (s.state == StateError || s.status != 0)
            deviceError(s);
        return s;
    }

    void download(uint16_t block, const uint8_t *data, uint16_t length)
    {
        const int r = transfer(RequestOut, Download, block, const_cast<uint8_t *>(data), length);
        if (r < 0)
            fail(r);
        if (r != length)
            throw Failure{DFU_ERROR_USB};
    }

    void command(uint8_t code, uint32_t address, bool withAddress = true)
    {
        uint8_t bytes[5] = {code, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16),
                            uint8_t(address >> 24)};
        {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.failedAddress = address;
        }
        for (;;) {
            download(0, bytes, withAddress ? 5 : 1);
            StatusAnswer s;
            try {
                s = settle();
            } catch (const EarlyStall &) {
                // Commands may be given again: the same address, the same sector erased.
                honourPollTimeouts("stalled a status request sent before its poll timeout");
                continue;
            }
            if (s.state != StateDownloadIdle)
                unexpectedState(s);
            return;
        }
    }

    // Walks `size` bytes at `address` in blocks: after `start` (a Set Address), blocks of
    // the transfer size numbered from 2; a shorter last block gets a start of its own, since
    // the device places block n at pointer + (n - 2) * the length of that block.
    template <typename Start, typename Block>
    void forEachBlock(uint32_t address, uint32_t size, Start start, Block block)
    {
        uint32_t offset = 0;
        while (offset < size) {
            start(address + offset);
            uint32_t number = FirstDataBlock;
            while (offset < size && number <= 0xFFFF) {
                const uint32_t n = std::min<uint32_t>(transferSize, size - offset);
                if ((n < transferSize || addressEachBlock) && number > FirstDataBlock)
                    break;
                {
                    std::lock_guard<std::mutex> lock(op.mutex);
                    op.context.failedAddress = address + offset;
                }
                block(uint16_t(number), offset, n);
                offset += n;
                ++number;
                if (n < transferSize)
                    break;
            }
        }
    }

    template <typename Progress>
    void write(uint32_t address, const uint8_t *data, uint32_t size, Progress progress)
    {
        forEachBlock(
            address, size, [&](uint32_t at) { command(CommandSetAddress, at); },
            [&](uint16_t number, uint32_t offset, uint32_t n) {
                download(number, data + offset, uint16_t(n));
                StatusAnswer s;
                try {
                    s = settle();
                } catch (const EarlyStall &) {
                    throw BlockStall{address + offset, n};
                }
                if (s.state != StateDownloadIdle)
                    unexpectedState(s);
                progress(n);
            });
    }

    template <typename Progress>
    void read(uint32_t address, uint8_t *out, uint32_t size, Progress progress)
    {
        forEachBlock(
            address, size,
            [&](uint32_t at) {
                simple(Abort); // a Set Address is a download: not from dfuUPLOAD-IDLE
                command(CommandSetAddress, at);
                simple(Abort); // uploads start from dfuIDLE
            },
            [&](uint16_t number, uint32_t offset, uint32_t n) {
                const int r = transfer(RequestIn, Upload, number, out + offset, uint16_t(n));
                if (r < 0)
                    fail(r);
                if (uint32_t(r) != n) {
                    // A short answer ends the upload: the device had no more to give.
                    const StatusAnswer s = status();
                    if (s.state == StateError)
                        deviceError(s);
                    throw Failure{DFU_ERROR_DEVICE_STATE};
                }
                progress(n);
            });
        simple(Abort);
    }

    Operation &op;
    OpenDevice &device;
    uint16_t transferSize;
    bool addressEachBlock;
    bool early;
};

// Holds the DFU interface for the time of one operation: other programs, and the list
// that enumerates devices, are not kept from it otherwise.
class Claim
{
public:
    explicit Claim(OpenDevice &device) : device(device)
    {
        libusb_set_auto_detach_kernel_driver(device.handle, 1);
        const int r = libusb_claim_interface(device.handle, device.interfaceNumber);
        if (r == LIBUSB_ERROR_BUSY) {
            qWarning("DFU: another program holds interface %d of %s; close it and try again.", device.interfaceNumber,
                     device.path.c_str());
            throw Failure{DFU_ERROR_CLAIMED};
        }
        if (r < 0)
            throw Failure{statusFromUsb(r)};
    }
    ~Claim() { libusb_release_interface(device.handle, device.interfaceNumber); }
    Claim(const Claim &) = delete;
    Claim &operator=(const Claim &) = delete;

private:
    OpenDevice &device;
};

class Worker
{
public:
    explicit Worker(Operation &op) : op(op) {}

    void run()
    {
        const auto start = Clock::now();
        DfuStatus result = DFU_OK;
        try {
            DfuInterfaceInfo info;
            DfuStatus s = readInterfaceInfo(*op.device, info);
            if (s != DFU_OK)
                throw Failure{s};
            if (info.functional.wTransferSize == 0)
                throw Failure{DFU_ERROR_DESCRIPTOR};
            canUpload = info.functional.bmAttributes & 0x02;
            const Claim claim(*op.device);
            const int r = libusb_set_interface_alt_setting(op.device->handle, op.device->interfaceNumber,
                                                           op.image.filterAlternate);
            Link link(op, *op.device, info.functional.wTransferSize);
            if (r < 0)
                link.fail(r);
            link.ensureIdle();
            switch (op.context.operation) {
            case DFU_OPERATION_ERASE: erase(link); break;
            case DFU_OPERATION_UPGRADE: upgrade(link); break;
            case DFU_OPERATION_UPLOAD: upload(link); break;
            case DFU_OPERATION_RETURN: leave(link); break;
            default: throw Failure{DFU_ERROR_OPERATION};
            }
        } catch (const Failure &f) {
            result = f.status;
        } catch (const std::bad_alloc &) {
            result = DFU_ERROR_OUT_OF_MEMORY;
        }
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.elapsedMs = uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        op.context.errorStatus = result;
        if (result == DFU_OK) {
            op.context.phase = PhaseDone;
            op.context.percent = 100;
        } else {
            const char *usbName = op.context.usbError ? libusb_error_name(op.context.usbError) : "none";
            qWarning("DFU: operation %d on %s failed: %s (device state %u, status %u, address 0x%08X, libusb %s)",
                     op.context.operation, op.context.devicePath, DFU_StatusText(result), op.context.lastDeviceState,
                     op.context.lastDeviceStatus, op.context.failedAddress, usbName);
        }
    }

private:
    bool canUpload = true;

    void begin(Phase phase, uint64_t total)
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.phase = phase;
        op.context.bytesTotal = uint32_t(total);
    }

    // Percent by work done; 100 only when the worker has finished with success.
    void advance(uint64_t bytes)
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.bytesDone += uint32_t(bytes);
        const uint64_t total = std::max<uint64_t>(op.context.bytesTotal, 1);
        op.context.percent = uint8_t(std::min<uint64_t>(99, op.context.bytesDone * 100 / total));
    }

    void erase(Link &link)
    {
        uint64_t total = 0;
        for (const Sector &s : op.image.eraseSectors)
            total += s.size;
        begin(PhaseErase, total);
        const std::string path = op.context.devicePath;
        takeKeptSectors(path);
        bool readable = skipUnchanged();
        std::map<uint32_t, uint32_t> kept;
        for (const Sector &s : op.image.eraseSectors) {
            if (readable && (s.access & AccessRead)) {
                const std::vector<uint8_t> expected = expectedContent(s);
                if (readsEqual(link, s.address, expected)) {
                    kept[s.address] = crcOf(expected);
                    advance(s.size);
                    continue;
                }
            }
            link.command(CommandErase, s.address);
            advance(s.size);
        }
        std::lock_guard<std::mutex> lock(keptMutex);
        keptSectors()[path] = std::move(kept);
    }

    // What a sector must hold after a full download: the image's bytes where it covers
    // the sector, the erased value elsewhere.
    std::vector<uint8_t> expectedContent(const Sector &s) const
    {
        std::vector<uint8_t> out(s.size, 0xFF);
        for (const Element &e : op.image.target.elements) {
            const uint32_t n = overlap(e, s);
            if (n == 0)
                continue;
            const uint32_t from = std::max(e.address, s.address);
            std::memcpy(out.data() + (from - s.address), e.data() + (from - e.address), n);
        }
        return out;
    }

    static uint32_t crcOf(const std::vector<uint8_t> &bytes)
    {
        return uint32_t(crc32(0L, bytes.data(), uInt(bytes.size())));
    }

    bool skipUnchanged() const { return !(op.context.flag & DFU_FLAG_FULL_DOWNLOAD) && canUpload; }

    // Whether the device holds `expected` at `address`, read block by block and given up at
    // the first block that differs. A read the device refuses counts as a difference.
    bool readsEqual(Link &link, uint32_t address, const std::vector<uint8_t> &expected)
    {
        struct Differs
        {
        };
        std::vector<uint8_t> read(expected.size());
        uint32_t offset = 0;
        try {
            link.read(address, read.data(), uint32_t(read.size()), [&](uint32_t n) {
                if (std::memcmp(read.data() + offset, expected.data() + offset, n) != 0)
                    throw Differs{};
                offset += n;
            });
            return true;
        } catch (const Differs &) {
            link.simple(Abort); // out of dfuUPLOAD-IDLE
            return false;
        } catch (const Failure &f) {
            // Only a refused read (read protection, a stalled upload, a short answer) is
            // a difference; a device busy or gone stays a failure.
            const bool refused = f.status == DFU_ERROR_STALL || f.status == DFU_ERROR_DEVICE_STATUS
                                 || f.status == DFU_ERROR_DEVICE_STATE;
            if (op.device->gone || !refused)
                throw;
            // The sector is simply written in full.
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.usbError = 0;
            return false;
        }
    }

    // The image's bytes that fall in one sector, in address order: the unit of writing,
    // of repair and of verify.
    struct Part
    {
        uint32_t address;
        const uint8_t *data;
        uint32_t size;
    };
    struct SectorWork
    {
        Sector sector;
        std::vector<Part> parts;
    };

    std::vector<SectorWork> planBySector() const
    {
        std::vector<SectorWork> plan;
        for (const Element &e : op.image.target.elements) {
            op.image.layout.forEachSector(e.address, e.size(), [&](const Sector &s) {
                const uint32_t from = std::max(e.address, s.address);
                auto it = std::find_if(plan.begin(), plan.end(),
                                       [&](const SectorWork &w) { return w.sector.address == s.address; });
                if (it == plan.end())
                    it = plan.insert(plan.end(), SectorWork{s, {}});
                it->parts.push_back({from, e.data() + (from - e.address), overlap(e, s)});
                return true;
            });
        }
        std::sort(plan.begin(), plan.end(),
                  [](const SectorWork &a, const SectorWork &b) { return a.sector.address < b.sector.address; });
        for (SectorWork &w : plan)
            std::sort(w.parts.begin(), w.parts.end(), [](const Part &a, const Part &b) { return a.address < b.address; });
        return plan;
    }

    // Whether the device holds `size` bytes of `expected` at `address`; false where it
    // cannot be read.
    bool holds(Link &link, const Sector &sector, uint32_t address, const uint8_t *expected, uint32_t size,
               uint32_t *firstDifference = nullptr)
    {
        if (!canUpload || !(sector.access & AccessRead))
            return false;
        std::vector<uint8_t> readBack(size);
        link.read(address, readBack.data(), size, [](uint32_t) {});
        const auto mismatch = std::mismatch(readBack.begin(), readBack.end(), expected);
        if (mismatch.first == readBack.end())
            return true;
        if (firstDifference)
            *firstDifference = address + uint32_t(mismatch.first - readBack.begin());
        return false;
    }

    // Erases the sector again and writes all of its part of the image from its start.
    template <typename Progress>
    void rewrite(Link &link, const SectorWork &w, Progress progress)
    {
        if (!(w.sector.access & AccessErase))
            throw Failure{DFU_ERROR_NOT_WRITEABLE};
        link.command(CommandErase, w.sector.address);
        for (const Part &p : w.parts)
            link.write(p.address, p.data, p.size, progress);
    }

    // Writes one sector's part. A block whose early status request was stalled is read
    // back: if it holds what was sent, writing goes on after it; if not (or it cannot be
    // read), the sector is erased and written again from its start.
    template <typename Progress>
    void writeSector(Link &link, const SectorWork &w, Progress progress)
    {
        for (const Part &p : w.parts) {
            uint32_t done = 0;
            while (done < p.size) {
                try {
                    link.write(p.address + done, p.data + done, p.size - done, progress);
                    done = p.size;
                } catch (const BlockStall &stalled) {
                    link.honourPollTimeouts("stalled a status request sent before its poll timeout");
                    link.simple(Abort);
                    const uint32_t offset = stalled.address - p.address;
                    if (holds(link, w.sector, stalled.address, p.data + offset, stalled.length)) {
                        progress(stalled.length);
                        done = offset + stalled.length;
                        continue;
                    }
                    rewrite(link, w, progress);
                    return;
                }
            }
        }
    }

    // The sectors whose memory differs from the image, and the first differing address.
    std::vector<const SectorWork *> differing(Link &link, const std::vector<const SectorWork *> &sectors,
                                             uint32_t &firstDifference)
    {
        std::vector<const SectorWork *> out;
        for (const SectorWork *w : sectors) {
            if (!(w->sector.access & AccessRead))
                continue;
            for (const Part &p : w->parts) {
                uint32_t at = 0;
                if (!holds(link, w->sector, p.address, p.data, p.size, &at)) {
                    if (out.empty())
                        firstDifference = at;
                    out.push_back(w);
                    break;
                }
                advance(p.size);
            }
        }
        return out;
    }

    bool sectorAlreadyRight(Link &link, const SectorWork &w, const std::map<uint32_t, uint32_t> &kept)
    {
        if (w.sector.access & AccessErase) {
            const auto it = kept.find(w.sector.address);
            return it != kept.end() && it->second == crcOf(expectedContent(w.sector));
        }
        if (!(w.sector.access & AccessRead))
            return false;
        for (const Part &p : w.parts) {
            if (!readsEqual(link, p.address, std::vector<uint8_t>(p.data, p.data + p.size)))
                return false;
        }
        return true;
    }

    void upgrade(Link &link)
    {
        const std::vector<SectorWork> plan = planBySector();
        uint64_t writeBytes = 0, verifyBytes = 0;
        for (const SectorWork &w : plan) {
            for (const Part &p : w.parts) {
                writeBytes += p.size;
                if ((w.sector.access & AccessRead) && canUpload)
                    verifyBytes += p.size;
            }
        }
        begin(PhaseWrite, writeBytes + verifyBytes);
        auto progress = [this](uint32_t n) { advance(n); };
        const bool wroteEarly = link.earlyRequests();
        // Sectors that already hold what the image wants are left as they are: those the
        // erase before found so, and sectors that cannot be erased whose memory equals the image.
        const std::map<uint32_t, uint32_t> kept = takeKeptSectors(op.context.devicePath);
        std::vector<const SectorWork *> written;
        for (const SectorWork &w : plan) {
            if (skipUnchanged() && sectorAlreadyRight(link, w, kept)) {
                for (const Part &p : w.parts)
                    advance((w.sector.access & AccessRead) ? 2 * p.size : p.size);
                continue;
            }
            writeSector(link, w, progress);
            written.push_back(&w);
        }
        link.simple(Abort);
        if (!canUpload) {
            // Nothing can be read back: the download stands, but nobody may think it checked.
            qWarning("DFU: %s cannot be read back (no upload in its DFU descriptor): the download was not verified.",
                     op.context.devicePath);
            return;
        }

        {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.phase = PhaseVerify;
        }
        // A sector left as it was counts as verified by the comparison that left it.
        uint32_t firstDifference = 0;
        std::vector<const SectorWork *> bad = differing(link, written, firstDifference);
        if (!bad.empty() && wroteEarly) {
            // Written with early status requests: once more, waiting as the device asks.
            link.honourPollTimeouts("failed verification after early status requests");
            for (const SectorWork *w : bad)
                rewrite(link, *w, progress);
            link.simple(Abort);
            bad = differing(link, bad, firstDifference);
        }
        if (!bad.empty()) {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.failedAddress = firstDifference;
            throw Failure{DFU_ERROR_VERIFY};
        }
    }

    void upload(Link &link)
    {
        uint64_t total = 0;
        for (const auto &p : op.image.uploadPlan)
            total += p.second;
        begin(PhaseRead, total);
        std::vector<Element> elements;
        auto progress = [this](uint32_t n) { advance(n); };
        for (const auto &p : op.image.uploadPlan) {
            std::vector<uint8_t> bytes(p.second);
            link.read(p.first, bytes.data(), p.second, progress);
            elements.emplace_back(p.first, std::move(bytes));
        }
        // The caller's image receives what was read.
        images().with(op.imageHandle, [&](ImageData &d) { d.target.elements = std::move(elements); });
    }

    void leave(Link &link)
    {
        begin(PhaseLeave, 1);
        link.command(CommandSetAddress, op.image.layout.regionStarts.front());
        // Some devices restart on the zero-length download itself, before its status stage:
        // the host then sees the device vanish, which is the leave asked for.
        int r = link.transfer(RequestOut, Download, FirstDataBlock, nullptr, 0);
        if (r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_IO)
            return;
        if (r < 0)
            link.fail(r);
        // The device answers dfuMANIFEST, or has already dropped off the bus to start its
        // application: both mean it is leaving DFU mode.
        uint8_t answer[6];
        r = link.transfer(RequestIn, GetStatus, 0, answer, sizeof answer);
        StatusAnswer s;
        if (r < 0 || !parseStatusAnswer(answer, size_t(r), s))
            return;
        {
            std::lock_guard<std::mutex> lock(op.mutex);
            op.context.lastDeviceState = s.state;
            op.context.lastDeviceStatus = s.status;
        }
        if (s.state == StateError)
            link.deviceError(s);
        if (s.state == StateManifestWaitReset) {
            // It waits for the host's bus reset to start its application.
            r = libusb_reset_device(op.device->handle);
            if (r == LIBUSB_SUCCESS && !op.device->gone) {
                // Still there as the same device after the reset: it did not leave.
                throw Failure{DFU_ERROR_NOT_LEFT};
            }
            op.device->gone = true;
            return;
        }
        if (s.state != StateManifest && s.state != StateManifestSync)
            throw Failure{DFU_ERROR_NOT_LEFT};
    }

    static uint32_t overlap(const Element &e, const Sector &s)
    {
        const uint64_t from = std::max<uint64_t>(e.address, s.address);
        const uint64_t to = std::min<uint64_t>(uint64_t(e.address) + e.size(), uint64_t(s.address) + s.size);
        return to > from ? uint32_t(to - from) : 0;
    }

    Operation &op;
};

} // namespace

uint32_t DFUOPS_SetBusyLimitMs(uint32_t milliseconds)
{
    return busyLimitMs.exchange(milliseconds);
}

bool DFUOPS_SetHonourPollTimeouts(bool always)
{
    return honourPollsAlways.exchange(always);
}

DfuStatus DFUOPS_LaunchOperation(DfuOperationContext *context, uint32_t *operationCode)
{
    if (!context || !operationCode)
        return DFU_ERROR_INVALID_PARAMETER;
    if (!memchr(context->devicePath, '\0', sizeof context->devicePath))
        return DFU_ERROR_PATH_TOO_LONG;
    const int32_t operation = context->operation;
    if (operation < DFU_OPERATION_RETURN || operation > DFU_OPERATION_UPGRADE)
        return DFU_ERROR_OPERATION;

    auto op = std::make_shared<Operation>();
    op->imageHandle = context->image;
    bool found = images().with(context->image, [&](ImageData &d) { op->image = d; });
    if (!found)
        return DFU_ERROR_INVALID_HANDLE;
    if (op->image.filteredFor != operation)
        return DFU_ERROR_NOT_FILTERED;
    if (op->image.filterStatus != DFU_OK)
        return op->image.filterStatus;

    const DfuStatus status = openDevice(context->devicePath, op->device);
    if (status != DFU_OK)
        return status;
    bool expected = false;
    if (!op->device->operationRunning.compare_exchange_strong(expected, true))
        return DFU_ERROR_DEVICE_STATE; // one operation at a time on a device

    op->context = *context;
    op->context.phase = PhaseIdle;
    op->context.percent = 0;
    op->context.bytesDone = op->context.bytesTotal = 0;
    op->context.failedAddress = 0;
    op->context.usbError = 0;
    op->context.elapsedMs = op->context.deviceWaitMs = 0;
    op->context.errorStatus = DFU_OK;
    *context = op->context;
    Operation *raw = op.get();
    try {
        op->thread = std::thread([raw] {
            Worker(*raw).run();
            raw->device->operationRunning = false;
        });
    } catch (const std::system_error &) {
        op->device->operationRunning = false;
        return DFU_ERROR_OUT_OF_MEMORY;
    }
    *operationCode = operations().add(std::move(op));
    return DFU_OK;
}

DfuStatus DFUOPS_GetOperationStatus(uint32_t operationCode, DfuOperationContext *context)
{
    if (!context)
        return DFU_ERROR_INVALID_PARAMETER;
    const auto op = operations().get(operationCode);
    if (!op)
        return DFU_ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(op->mutex);
    *context = op->context;
    return DFU_OK;
}

DfuStatus DFUOPS_StopOperation(uint32_t operationCode, DfuOperationContext *context)
{
    const auto op = operations().take(operationCode);
    if (!op)
        return DFU_ERROR_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(op->mutex);
        op->cancel = true;
    }
    op->wake.notify_all();
    if (op->thread.joinable())
        op->thread.join();
    if (context) {
        std::lock_guard<std::mutex> lock(op->mutex);
        *context = op->context;
    }
    return DFU_OK;
}
