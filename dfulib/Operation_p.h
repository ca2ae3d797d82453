#pragma once

// What the operation files share: the operation record, the DFU requests of one operation
// (Link), and the worker that runs it. Each concern lives in a file of its own:
//   Requests.cpp       requests, status timing, block walks
//   EraseCompare.cpp   erasing, and comparing sectors with what the image wants
//   WriteRepair.cpp    writing sector by sector, repairing after a stalled status request
//   Verify.cpp         reading back what was written
//   UploadReturn.cpp   reading memory into an image, returning to the application
//   Operations.cpp     the worker's road, the C API and the operation registry

#include "Internal_p.h"
#include "UsbAnswers.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace dfulib {

using Clock = std::chrono::steady_clock;

enum Request : uint8_t {
    Detach = 0,
    Download = 1,
    Upload = 2,
    GetStatus = 3,
    ClearStatus = 4,
    GetState = 5,
    Abort = 6
};
constexpr uint8_t RequestOut = LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;
constexpr uint8_t RequestIn = LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_CLASS | LIBUSB_RECIPIENT_INTERFACE;
constexpr uint8_t CommandSetAddress = 0x21, CommandErase = 0x41;
constexpr unsigned TransferTimeoutMs = 5000;
constexpr uint16_t FirstDataBlock = 2;
// Linux's usbfs takes at most this much data in one control transfer (libusb's limit).
constexpr uint16_t MaxControlData = 4096;
// The longest single wait for a busy device before it is asked again.
constexpr uint32_t WaitSliceMs = 1000;
// Early status requests: the longest short wait between two of them to a busy device.
constexpr uint32_t MaxEarlyWaitMs = 64;
// bStatus errSTALLEDPKT: the device stalled a request, and has nothing else to report.
constexpr uint8_t StatusStalledPacket = 0x0F;

// DFUOPS_SetBusyLimitMs and DFUOPS_SetHonourPollTimeouts.
extern std::atomic<uint32_t> busyLimitMs;
extern std::atomic<bool> honourPollsAlways;

struct OperationRecord
{
    ~OperationRecord();

    std::mutex mutex;
    std::condition_variable wake;
    DfuOperationContext context{}; // guarded by mutex
    bool cancel = false; // guarded by mutex
    std::thread thread;
    std::shared_ptr<OpenDevice> device;
    ImageData image; // the worker's own copy
    DfuImageHandle imageHandle = 0;
};

struct Failure
{
    DfuStatus status;
};

// A status request sent before the device's poll timeout was stalled (the device is back
// in dfuIDLE): what the device was doing may be undone, and its poll timeouts must be kept.
struct EarlyStall
{ };

// The same, during the data block at `address`, `length` bytes long.
struct BlockStall
{
    uint32_t address;
    uint32_t length;
};

using Progress = std::function<void(uint32_t bytes)>;

// The DFU requests of one operation. Every request checks for a stop first; failures
// throw a Failure that the worker turns into the context's error status.
class Link
{
public:
    // Blocks are of the device's transfer size where libusb can carry it; smaller blocks
    // each get an address of their own, since the device places a block by its transfer size.
    Link(OperationRecord &op, OpenDevice &device, uint16_t deviceTransferSize);

    // Status requests may go out before the device's poll timeouts only where a read-back
    // can catch a device that answered "done" too soon: the caller says so for the memory
    // it is about to work on.
    void allowEarly(bool readBackPossible);
    // Whether status requests still go out before the device's poll timeouts.
    bool earlyRequests() const { return early; }
    // Whether any went out early since the last call; clears the record.
    bool takeSentEarly();

    // From now on the device's poll timeouts are waited out, for this device's operations
    // to come too; said once per device.
    void honourPollTimeouts(const char *why);

    void checkStop();
    void waitFor(uint32_t ms, Clock::time_point deadline);
    int transfer(uint8_t type, uint8_t request, uint16_t value, uint8_t *data, uint16_t length);
    [[noreturn]] void fail(int usbError);
    StatusAnswer status(Clock::time_point deadline = Clock::time_point());
    void simple(uint8_t request);
    [[noreturn]] void deviceError(const StatusAnswer &s);
    [[noreturn]] void unexpectedState(const StatusAnswer &s);
    void ensureIdle();
    StatusAnswer settle();
    void download(uint16_t block, const uint8_t *data, uint16_t length);
    void command(uint8_t code, uint32_t address, bool withAddress = true);

    // Writes `size` bytes at `address`; a stalled early status request on a block throws
    // BlockStall. `progress` gets each block's length once it is written.
    void write(uint32_t address, const uint8_t *data, uint32_t size, const Progress &progress);
    // Reads `size` bytes at `address` into `out`; `progress` gets each block's length once
    // it has arrived (and may throw to end the read early).
    void read(uint32_t address, uint8_t *out, uint32_t size, const Progress &progress);

private:
    void clearAfterStall();
    void forEachBlock(uint32_t address, uint32_t size, const std::function<void(uint32_t)> &start,
        const std::function<void(uint16_t, uint32_t, uint32_t)> &block);

    OperationRecord &op;
    OpenDevice &device;
    uint16_t transferSize;
    bool addressEachBlock;
    bool early = false;
    bool sentEarly = false;
    uint8_t statusAfterStall = 0; // bStatus the device gave when its stall was cleared
};

// Holds the DFU interface for the time of one operation: other programs, and the list
// that enumerates devices, are not kept from it otherwise.
class Claim
{
public:
    explicit Claim(OpenDevice &device);
    ~Claim();
    Claim(const Claim &) = delete;
    Claim &operator=(const Claim &) = delete;

private:
    OpenDevice &device;
};

// The image's bytes that fall in one sector, in address order: the unit of comparing, of
// writing, of repair and of verify.
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
    bool kept = false; // found holding what the image wants: neither erased nor written
};

class Worker
{
public:
    explicit Worker(OperationRecord &op) : op(op) { }
    void run();

private:
    // A share of the operation's percent of its own (a download's erase, then its write
    // and verify), starting in `phase` with `total` bytes.
    void begin(uint32_t phase, uint64_t total);
    // The next phase of the same share, with bytes of its own to count.
    void setPhase(uint32_t phase, uint64_t phaseBytes);
    // `share` bytes of the share done, `bytes` of them in the phase's own count.
    void advance(uint64_t share, uint64_t bytes);
    void advance(uint64_t bytes) { advance(bytes, bytes); }
    bool skipUnchanged() const;
    bool readBack(const Sector &s) const { return canUpload && (s.access & AccessRead); }

    // EraseCompare.cpp
    void erase(Link &link);
    void compareAndErase(Link &link, std::vector<SectorWork> &plan);
    std::vector<uint8_t> expectedContent(const Sector &s) const;
    bool readsEqual(Link &link, uint32_t address, const std::vector<uint8_t> &expected, uint64_t &bytesRead);

    // WriteRepair.cpp
    std::vector<SectorWork> planBySector() const;
    void writeAndVerify(Link &link, std::vector<SectorWork> &plan);
    bool holdsImage(Link &link, const SectorWork &w);
    void writeSector(Link &link, const SectorWork &w, const Progress &progress);
    void rewrite(Link &link, const SectorWork &w, const Progress &progress);

    // Verify.cpp
    bool holds(Link &link, const Sector &sector, uint32_t address, const uint8_t *expected, uint32_t size,
        uint32_t *firstDifference = nullptr);
    std::vector<const SectorWork *> differing(
        Link &link, const std::vector<const SectorWork *> &sectors, uint32_t &firstDifference);
    void verify(Link &link, const std::vector<const SectorWork *> &written, bool wroteEarly, const Progress &progress);

    // UploadReturn.cpp
    void upload(Link &link);
    void leave(Link &link);

    OperationRecord &op;
    bool canUpload = true;
    Clock::time_point started = Clock::now();
    uint64_t shareDone = 0;
    uint64_t shareTotal = 0;
};

uint32_t overlap(const Element &e, const Sector &s);

} // namespace dfulib
