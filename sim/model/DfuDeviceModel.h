#pragma once

// A device in DFU mode: the USB DFU 1.1 state machine with the address-extended commands,
// real flash behaviour (erased cells read 0xFF, programming only clears bits), read
// protection, two timing profiles, and faults that tests can arm.

#include "UsbDeviceModel.h"

#include <chrono>
#include <functional>

namespace sim {

struct SectorGroupSpec
{
    uint32_t count = 1;
    uint32_t size = 0;  // bytes
    char access = 'g';  // a..g: bit0 read, bit1 erase, bit2 write
};

struct RegionSpec
{
    uint32_t start = 0;
    std::vector<SectorGroupSpec> groups;
};

struct AlternateSpec
{
    std::string name;
    std::vector<RegionSpec> regions;
};

// Instant for tests; Realistic is a ROM boot loader of the full-speed class (figures below).
enum class Timing { Instant, Realistic };

// How a device treats a status request sent before the poll timeout it reported, while it
// is still at its flash work.
enum class EarlyStatus {
    AnswerWhenDone,   // holds the request until its work is done (ROM loaders)
    Stall,            // stalls it and enters dfuERROR with errSTALLEDPKT, as the USB DFU 1.1 state table allows
    StallHalfWritten, // the same, and the block being written is left half programmed
    AnswerBusy,       // answers dfuDNBUSY at once, with a poll timeout for the work that remains
};

// Behaviours of real boot loaders that a careful host must survive, each switchable.
struct DfuQuirks
{
    bool hugePollTimeout = false;      // while busy, bwPollTimeout reads 0xFFFFFF ms (hours)
    uint32_t eraseMs = 0;              // non-zero: every erase takes this long, whatever the profile
    bool resetBeforeReturnAnswer = false; // leaves the bus on the return's zero-length download
    bool manifestWaitReset = false;    // after the return, waits in dfuMANIFEST-WAIT-RESET for a reset
    uint8_t stateAfterReturn = 0;      // non-zero: answers this state after the return, and stays
    bool idleAfterBlock = false;       // answers dfuIDLE where dfuDNLOAD-IDLE is due after a block
    bool languageListStalls = false;   // string descriptor 0 is stalled
    bool oddStringLengths = false;     // string descriptors with an odd bLength
    bool stringLengthPastData = false; // string descriptors whose bLength is more than is sent
    std::vector<uint8_t> alternateNumbers; // bAlternateSetting of each alternate; empty: 0, 1, ...
    EarlyStatus earlyStatus = EarlyStatus::AnswerWhenDone;
    // A stalled early status request leaves the work's own error (errWRITE, errERASE...) as
    // the status rather than errSTALLEDPKT, when the work failed.
    bool stallKeepsWorkError = false;
};

struct DfuDeviceSpec
{
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x2A17;
    uint16_t release = 0x0200;
    std::string manufacturer = "Corvantis";
    std::string product = "Tolvex Demo Board";
    std::string serial = "TVX-0001";
    std::vector<AlternateSpec> alternates;
    uint16_t transferSize = 2048;
    uint8_t attributes = 0x0B;
    uint16_t dfuVersion = 0x011A;
    uint8_t functionalLength = 9;   // a wrong length makes the descriptor malformed
    Timing timing = Timing::Instant;
    // Every figure of the Realistic profile, reported and real, times this (a soak test runs
    // the ROM profile's shape in a fraction of its time).
    double timeScale = 1.0;
    // Non-negative: the upload speed in milliseconds per KiB, instead of the profile's (real
    // full-speed control reads may well be slower than its estimate).
    double readMsPerKiB = -1;
    DfuQuirks quirks;

    // Option bytes (alternate 0) and a 1 MiB internal flash (alternate 1).
    static DfuDeviceSpec twoAlternates();
    // The internal flash alone.
    static DfuDeviceSpec oneAlternate();
    // Two flash memories at their own addresses: 64 pages of 2 KiB at 0x08000000 (alternate
    // 0) and 4 sectors of 16 KiB at 0x08100000 (alternate 1).
    static DfuDeviceSpec twoFlashes();
};

// What the device reports and how long it really works, in milliseconds.
//
// The Realistic profile is a ROM boot loader of the full-speed class. Its reported poll
// timeouts are those that public verbose logs of the generic DFU utility show against such
// loaders: 100 ms after every address or erase command, 104 ms after every 2 KiB block.
// Its real work is the flash's, from datasheet typical figures: a 16 KiB sector erases in
// about 250 ms, 64 KiB in about 550 ms, 128 KiB in about 1 s; 2 KiB program in about 8 ms.
// Setting the address pointer costs nothing measurable. Reading is bound by the bus: an
// estimate, not a measurement, of about 1 MB/s through endpoint 0 at full speed (12 Mbit/s
// less the protocol's overhead), so about 2 ms for a 2 KiB upload block.
struct TimingFigures
{
    uint32_t reportedCommandPoll = 0;  // after Set Address and Erase
    uint32_t reportedWritePoll = 0;    // after a data block
    double writeMsPerKiB = 0;          // one 2048-byte block: about 8 ms
    double readMsPerKiB = 0;           // one 2048-byte upload block: about 2 ms
    double eraseScale = 0;             // erase times from the sector sizes above, times this
};

struct DfuFaults
{
    int stallAtBlock = 0;       // the Nth data block (from 1) is stalled
    int errorAtBlock = 0;       // the Nth data block ends in errWRITE
    int disconnectAtBlock = 0;  // the device drops off the bus at the Nth data block
    ControlResult::Loss disconnectAs = ControlResult::NoDevice; // how the host sees that drop
    int flipBitAtBlock = 0;     // one bit of the Nth data block is stored wrong
    uint32_t deadCellAt = 0;    // non-zero: the byte at this address never programs (stays 0xFF)
    int uploadStallAt = 0;      // the Nth upload block (from 1) is stalled
    bool busyForever = false;   // every status answer says dfuDNBUSY
    bool readProtected = false;
    int eraseErrorAt = 0;        // the Nth erase command (from 1) ends in errERASE
    int disconnectAfterErase = 0; // the device drops off the bus once the Nth erase is done
    // Counted from when they are set. With `once`, each fault fires a single time; otherwise
    // it fires again after the device restarts and its counts begin anew.
    bool once = false;
};

class DfuDeviceModel : public UsbDeviceModel
{
public:
    explicit DfuDeviceModel(const DfuDeviceSpec &setup);

    // The layout string of each alternate, as built from the setup.
    static std::string layoutString(const AlternateSpec &alternate);
    // Replaces the interface string of one alternate (to serve a malformed one).
    void setLayoutString(size_t alternate, const std::string &text);

    void setFaults(const DfuFaults &faults);
    // The faults still armed (one-shot faults that fired are cleared).
    DfuFaults armedFaults() const;
    void setTiming(Timing timing);
    void setQuirks(const DfuQuirks &quirks);

    // Memory access for tests; false if the range is not all memory of that alternate.
    bool readMemory(size_t alternate, uint32_t address, uint8_t *out, size_t size) const;
    bool writeMemory(size_t alternate, uint32_t address, const uint8_t *data, size_t size);
    size_t alternateCount() const { return memories.size(); }

    uint64_t busyMilliseconds() const;   // time the device imposed: work and reported waits
    uint64_t workMilliseconds() const;   // the flash's own work: erasing and programming
    uint64_t earlyStatusPolls() const;   // status requests sent before the reported timeout
    uint64_t earlyStatusStalls() const;  // of those, the ones a strict device stalled
    uint64_t erasedSectorCount() const;
    std::vector<uint32_t> erasedSectors() const;  // start addresses, in order of erasure
    uint8_t state() const;

    // Called once, outside the device's lock, when it leaves DFU mode (after the
    // manifestation status answer).
    void setOnLeave(std::function<void()> callback);

protected:
    ControlResult classRequest(const SetupPacket &setup, uint8_t *data) override;
    bool setInterface(uint8_t interfaceNumber, uint8_t alternate) override;
    void afterRequest() override;
    bool leavesOnReset() override;
    void restart() override;

private:
    struct Sector
    {
        uint32_t address;
        uint32_t size;
        uint8_t access;
        std::vector<uint8_t> bytes;
    };
    struct Memory
    {
        std::vector<Sector> sectors;
    };

    Sector *sectorAt(size_t alternate, uint32_t address);
    const Sector *sectorAt(size_t alternate, uint32_t address) const;
    // Visits, in order, the part of each sector that [address, address + size) covers:
    // `visit(sector, offset in sector, offset in range, count)`, which may stop the walk by
    // returning false. Returns how many bytes from `address` on were visited without a gap.
    size_t walk(size_t alternate, uint64_t address, size_t size,
                const std::function<bool(Sector &, size_t, size_t, size_t)> &visit);
    bool rangeAccess(size_t alternate, uint32_t address, size_t size, uint8_t need) const;

    ControlResult download(const SetupPacket &setup, const uint8_t *data);
    ControlResult upload(const SetupPacket &setup, uint8_t *data);
    ControlResult getStatus(const SetupPacket &setup, uint8_t *data);
    // The address of data block `block` after the address pointer, as the address-extended
    // protocol places it: by the declared transfer size, whatever the block's own length.
    uint64_t blockAddress(uint16_t block) const;
    void execute();
    // True when the count has reached the armed fault; a fault armed `once` is then cleared.
    bool hit(int &fault, int count);
    void error(uint8_t status);
    void startBusy(uint32_t reportedMs, double workMs);
    void unprogramSecondHalf();

    DfuDeviceSpec setup;
    std::vector<Memory> memories;
    std::vector<std::string> layouts;
    DfuFaults faults;
    TimingFigures figures;
    std::function<void()> onLeave;

    uint8_t alternate = 0;
    uint8_t dfuState = 2;      // dfuIDLE
    uint8_t dfuStatus = 0;
    uint32_t pointer = 0;
    std::vector<uint8_t> pending;  // the download waiting for its status request
    uint16_t pendingBlock = 0;
    int dataBlocks = 0;
    int uploadBlocks = 0;
    int eraseCommands = 0;
    bool dropAfterAnswer = false;
    bool dropPending = false;
    uint8_t result = 0;            // outcome of the pending work, reported after the busy time
    bool leavePending = false;

    using Clock = std::chrono::steady_clock;
    Clock::time_point busyUntil{};
    Clock::time_point pollAllowedAt{};
    uint32_t reportedPoll = 0;
    uint64_t busyTotalMs = 0;
    double workTotalMs = 0;
    uint64_t earlyPolls = 0;
    uint64_t earlyStalls = 0;
    uint32_t pendingAddress = 0;   // where the block in work is written
    std::vector<uint32_t> erased;
};

} // namespace sim
