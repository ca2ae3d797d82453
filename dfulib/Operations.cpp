// DFUOPS: the worker's road through one operation, and the C API that launches, polls and
// stops operations, each on a worker thread of its own. The worker owns the live context;
// callers get copies of it under the operation's mutex.

#include "Operation_p.h"

#include <algorithm>
#include <cstring>

namespace dfulib {

std::atomic<uint32_t> busyLimitMs{120000};
std::atomic<bool> honourPollsAlways{false};

OperationRecord::~OperationRecord()
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

Claim::Claim(OpenDevice &device) : device(device)
{
    libusb_set_auto_detach_kernel_driver(device.handle, 1);
    const int r = libusb_claim_interface(device.handle, device.interfaceNumber);
    if (r == LIBUSB_ERROR_BUSY) {
        dfulib::log(DFU_LOG_WARNING, "DFU: another program holds interface %d of %s; close it and try again.",
            device.interfaceNumber, device.path.c_str());
        throw Failure{DFU_ERROR_CLAIMED};
    }
    if (r < 0)
        throw Failure{statusFromUsb(r)};
}

Claim::~Claim()
{
    libusb_release_interface(device.handle, device.interfaceNumber);
}

uint32_t overlap(const Element &e, const Sector &s)
{
    const uint64_t from = std::max<uint64_t>(e.address, s.address);
    const uint64_t to = std::min<uint64_t>(uint64_t(e.address) + e.size(), uint64_t(s.address) + s.size);
    return to > from ? uint32_t(to - from) : 0;
}

void Worker::run()
{
    const auto start = started;
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
        link.allowEarly(canUpload);
        link.ensureIdle();
        switch (op.context.operation) {
        case DFU_OPERATION_ERASE: erase(link); break;
        case DFU_OPERATION_UPGRADE: {
            std::vector<SectorWork> plan = planBySector();
            writeAndVerify(link, plan);
            break;
        }
        case DFU_OPERATION_DOWNLOAD: {
            std::vector<SectorWork> plan = planBySector();
            compareAndErase(link, plan);
            if (!(op.context.flag & DFU_FLAG_COMPARE_ONLY))
                writeAndVerify(link, plan);
            break;
        }
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
        op.context.phase = DFU_PHASE_DONE;
        op.context.percent = 100;
    } else {
        const char *usbName = op.context.usbError ? libusb_error_name(op.context.usbError) : "none";
        dfulib::log(DFU_LOG_WARNING,
            "DFU: operation %d on %s failed: %s (device state %u, status %u, address 0x%08X, libusb %s)",
            op.context.operation, op.context.devicePath, DFU_StatusText(result), op.context.lastDeviceState,
            op.context.lastDeviceStatus, op.context.failedAddress, usbName);
    }
}

void Worker::begin(uint32_t phase, uint64_t total)
{
    std::lock_guard<std::mutex> lock(op.mutex);
    shareDone = 0;
    shareTotal = total;
    op.context.phase = phase;
    op.context.bytesTotal = uint32_t(total);
    op.context.bytesDone = 0;
    op.context.percent = 0;
}

void Worker::setPhase(uint32_t phase, uint64_t phaseBytes)
{
    std::lock_guard<std::mutex> lock(op.mutex);
    op.context.phase = phase;
    op.context.bytesTotal = uint32_t(phaseBytes);
    op.context.bytesDone = 0;
}

// Percent by work done; 100 only when the worker has finished with success. The elapsed time
// goes with it, so that a rate can be shown while the operation runs.
void Worker::advance(uint64_t share, uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(op.mutex);
    shareDone += share;
    op.context.bytesDone = uint32_t(std::min<uint64_t>(uint64_t(op.context.bytesDone) + bytes, op.context.bytesTotal));
    op.context.percent = uint8_t(std::min<uint64_t>(99, shareDone * 100 / std::max<uint64_t>(shareTotal, 1)));
    op.context.elapsedMs =
        uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count());
}

bool Worker::skipUnchanged() const
{
    return !(op.context.flag & DFU_FLAG_FULL_DOWNLOAD) && canUpload;
}

} // namespace dfulib

using namespace dfulib;

namespace {

Registry<OperationRecord> &operations()
{
    // Never destroyed: operations may still run while static objects are torn down.
    static auto *registry = new Registry<OperationRecord>;
    return *registry;
}

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
    if (operation < DFU_OPERATION_RETURN || operation > DFU_OPERATION_DOWNLOAD)
        return DFU_ERROR_OPERATION;

    auto op = std::make_shared<OperationRecord>();
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
    op->context.phase = DFU_PHASE_IDLE;
    op->context.percent = 0;
    op->context.bytesDone = op->context.bytesTotal = 0;
    op->context.failedAddress = 0;
    op->context.usbError = 0;
    op->context.elapsedMs = op->context.deviceWaitMs = 0;
    op->context.errorStatus = DFU_OK;
    op->context.sectorsTouched = op->context.sectorsKept = 0;
    *context = op->context;
    OperationRecord *raw = op.get();
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
