// The DFU requests of one operation, the timing of its status requests, and the walk of a
// memory range in blocks.

#include "Operation_p.h"

#include <algorithm>

namespace dfulib {

Link::Link(OperationRecord &op, OpenDevice &device, uint16_t deviceTransferSize)
    : op(op), device(device), transferSize(std::min(deviceTransferSize, MaxControlData)),
      addressEachBlock(transferSize != deviceTransferSize)
{
}

void Link::allowEarly(bool readBackPossible)
{
    early = readBackPossible && !honourPollsAlways.load() && !device.honourPolls.load();
}

bool Link::takeSentEarly()
{
    const bool sent = sentEarly;
    sentEarly = false;
    return sent;
}

void Link::honourPollTimeouts(const char *why)
{
    early = false;
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.usbError = 0;
    }
    if (!device.honourPolls.exchange(true))
        dfulib::log(
            DFU_LOG_WARNING, "DFU: %s %s; its poll timeouts are waited out from now on.", device.path.c_str(), why);
}

void Link::checkStop()
{
    std::lock_guard<std::mutex> lock(op.mutex);
    if (op.cancel)
        throw Failure{DFU_ERROR_STOPPED};
}

// Sleeps as long as the device asked, but at most a slice (a device may report hours of
// garbage; a busy one says so again when asked) and never past `deadline`. A stop ends the
// wait at once.
void Link::waitFor(uint32_t ms, Clock::time_point deadline)
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

int Link::transfer(uint8_t type, uint8_t request, uint16_t value, uint8_t *data, uint16_t length)
{
    checkStop();
    const int r = libusb_control_transfer(device.handle, type, request, value, uint16_t(device.interfaceNumber), data,
                                          length, TransferTimeoutMs);
    if (r == LIBUSB_ERROR_NO_DEVICE)
        device.gone = true;
    return r;
}

void Link::fail(int usbError)
{
    {
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.usbError = usbError;
    }
    if (usbError == LIBUSB_ERROR_PIPE)
        clearAfterStall();
    throw Failure{statusFromUsb(usbError)};
}

// A stalled request leaves the device in dfuERROR; clear it so that it can be used again
// without a replug. Best effort: the stall is what gets reported. What the device says
// before the clear is kept: it may be an error of its own behind the stall.
void Link::clearAfterStall()
{
    statusAfterStall = 0;
    uint8_t answer[6];
    const int r = libusb_control_transfer(device.handle, RequestIn, GetStatus, 0, uint16_t(device.interfaceNumber),
                                          answer, sizeof answer, TransferTimeoutMs);
    StatusAnswer s;
    if (r >= 0 && parseStatusAnswer(answer, size_t(r), s) && s.state == StateError) {
        statusAfterStall = s.status;
        std::lock_guard<std::mutex> lock(op.mutex);
        op.context.lastDeviceState = s.state;
        op.context.lastDeviceStatus = s.status;
    }
    libusb_control_transfer(device.handle, RequestOut, ClearStatus, 0, uint16_t(device.interfaceNumber), nullptr, 0,
                            TransferTimeoutMs);
}

// One GETSTATUS. With a deadline, a device that holds the request past the transfer
// timeout (as a boot loader busy with a long erase does) is asked again until then.
StatusAnswer Link::status(Clock::time_point deadline)
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

void Link::simple(uint8_t request)
{
    const int r = transfer(RequestOut, request, 0, nullptr, 0);
    if (r < 0)
        fail(r);
}

// After an error: clear it so the device is usable again, and report the device's status.
void Link::deviceError(const StatusAnswer &s)
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
void Link::unexpectedState(const StatusAnswer &s)
{
    try {
        simple(s.state == StateError ? ClearStatus : Abort);
    } catch (const Failure &) {
    }
    throw Failure{DFU_ERROR_DEVICE_STATE};
}

// Brings the device to dfuIDLE from wherever an earlier run left it.
void Link::ensureIdle()
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

// The status exchange after a download, bounded overall whatever poll timeout the device
// reports. The first request starts the device's work. Then, with early requests, the next
// goes out at once: a device that holds it until its work is done costs exactly its work,
// and one that answers busy is asked again after short, growing waits, never longer than
// it asked for. Otherwise every poll timeout is waited out.
StatusAnswer Link::settle()
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
        sentEarly = true;
        try {
            s = status(deadline);
        } catch (const Failure &f) {
            if (f.status != DFU_ERROR_STALL || device.gone)
                throw;
            // fail() has cleared the stall: the device is in dfuIDLE again. An error the
            // device names behind the stall is its verdict on the work, and stands whatever
            // a read-back shows later.
            if (statusAfterStall != 0 && statusAfterStall != StatusStalledPacket)
                throw Failure{DFU_ERROR_DEVICE_STATUS};
            throw EarlyStall{};
        }
    }
    if (s.state == StateError || s.status != 0)
        deviceError(s);
    return s;
}

void Link::download(uint16_t block, const uint8_t *data, uint16_t length)
{
    const int r = transfer(RequestOut, Download, block, const_cast<uint8_t *>(data), length);
    if (r < 0)
        fail(r);
    if (r != length)
        throw Failure{DFU_ERROR_USB};
}

void Link::command(uint8_t code, uint32_t address, bool withAddress)
{
    uint8_t bytes[5] = {code, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), uint8_t(address >> 24)};
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

// Walks `size` bytes at `address` in blocks: after `start` (a Set Address), blocks of the
// transfer size numbered from 2; a shorter last block gets a start of its own, since the
// device places block n at pointer + (n - 2) * the length of that block.
void Link::forEachBlock(uint32_t address, uint32_t size, const std::function<void(uint32_t)> &start,
                        const std::function<void(uint16_t, uint32_t, uint32_t)> &block)
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

void Link::write(uint32_t address, const uint8_t *data, uint32_t size, const Progress &progress)
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

void Link::read(uint32_t address, uint8_t *out, uint32_t size, const Progress &progress)
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

} // namespace dfulib
