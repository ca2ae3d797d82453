#pragma once

// Move-only owners for the handles of the C API: each releases what it holds exactly once,
// when it is destroyed or given another handle, so no caller releases a handle by hand.

#include "dfulib.h"

#include <cstring>
#include <utility>

namespace dfulib {

template <typename Handle, void (*Free)(Handle &)>
class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle &&other) noexcept : handle(other.release()) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;

    Handle get() const { return handle; }
    explicit operator bool() const { return handle != Handle{}; }
    // For a call that hands out a new handle: what was held is released first.
    Handle *receive()
    {
        reset();
        return &handle;
    }
    Handle release() { return std::exchange(handle, Handle{}); }
    void reset(Handle next = Handle{})
    {
        if (handle != Handle{})
            Free(handle);
        handle = next;
    }

private:
    Handle handle{};
};

inline void destroyImage(DfuImageHandle &h)
{
    DFUFILES_DestroyImage(&h);
}
inline void closeFile(DfuFileHandle &h)
{
    DFUFILES_CloseDFUFile(h);
}
inline void closeDevice(DfuDeviceHandle &h)
{
    DFUDEV_Close(&h);
}

using Image = UniqueHandle<DfuImageHandle, destroyImage>;
// A file being written is better closed by hand, through release(), to see whether it was.
using File = UniqueHandle<DfuFileHandle, closeFile>;
using Device = UniqueHandle<DfuDeviceHandle, closeDevice>;

// The records of DFUOPS_CreateMappingFromDevice.
class Mapping
{
public:
    Mapping() = default;
    ~Mapping() { reset(); }
    Mapping(Mapping &&other) noexcept
        : records(std::exchange(other.records, nullptr)), count(std::exchange(other.count, 0u))
    {
    }
    Mapping &operator=(Mapping &&other) noexcept
    {
        if (this != &other) {
            reset();
            records = std::exchange(other.records, nullptr);
            count = std::exchange(other.count, 0u);
        }
        return *this;
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    DfuStatus createFrom(const char *path)
    {
        reset();
        return DFUOPS_CreateMappingFromDevice(path, &records, &count);
    }
    void reset()
    {
        DFUOPS_ReleaseMapping(records);
        records = nullptr;
        count = 0;
    }
    bool empty() const { return count == 0; }
    uint32_t size() const { return count; }
    const DfuMappingRecord &operator[](uint32_t i) const { return records[i]; }
    // The last alternate: the one the tool works on.
    const DfuMappingRecord &last() const { return records[count - 1]; }

private:
    DfuMappingRecord *records = nullptr;
    uint32_t count = 0;
};

// A launched operation; one that is still held when the owner goes is stopped.
class Operation
{
public:
    Operation() = default;
    ~Operation() { stop(nullptr); }
    Operation(Operation &&other) noexcept : code(std::exchange(other.code, 0u)), held(std::exchange(other.held, false))
    {
    }
    Operation &operator=(Operation &&other) noexcept
    {
        if (this != &other) {
            stop(nullptr);
            code = std::exchange(other.code, 0u);
            held = std::exchange(other.held, false);
        }
        return *this;
    }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    // Launches the operation `context` describes, stopping one held before.
    DfuStatus launch(DfuOperationContext &context)
    {
        stop(nullptr);
        const DfuStatus s = DFUOPS_LaunchOperation(&context, &code);
        held = s == DFU_OK;
        return s;
    }
    bool running() const { return held; }
    // The library's code for it, while it is held.
    uint32_t launchedCode() const { return held ? code : 0u; }
    DfuStatus status(DfuOperationContext &context) const
    {
        return held ? DFUOPS_GetOperationStatus(code, &context) : DFU_ERROR_INVALID_HANDLE;
    }
    // Stops it if it runs, and copies its final context.
    void stop(DfuOperationContext *context)
    {
        if (held)
            DFUOPS_StopOperation(code, context);
        held = false;
    }

private:
    uint32_t code = 0;
    bool held = false;
};

// A context for `operation` of `image` on the device at `path`; false if the path does not
// fit the context's field.
inline bool makeContext(DfuOperationContext &context, int32_t operation, DfuImageHandle image, const char *path,
                        int32_t flag = 0)
{
    std::memset(&context, 0, sizeof context);
    context.operation = operation;
    context.image = image;
    context.flag = flag;
    const size_t length = std::strlen(path);
    if (length >= sizeof context.devicePath)
        return false;
    std::memcpy(context.devicePath, path, length + 1);
    return true;
}

} // namespace dfulib
