// DFUFILES: images, filtering, and .dfu files on disk.

#include "Internal_p.h"
#include "NewFile_p.h"

#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace dfulib;

namespace dfulib {

Registry<ImageData> &images()
{
    // Never destroyed: operations may still run while static objects are torn down.
    static auto *registry = new Registry<ImageData>;
    return *registry;
}

Registry<MappingData> &mappings()
{
    // Never destroyed: operations may still run while static objects are torn down.
    static auto *registry = new Registry<MappingData>;
    return *registry;
}

} // namespace dfulib

namespace {

struct DfuFileData
{
    // An existing file, read whole: its images share this buffer.
    std::shared_ptr<const uint8_t[]> bytes;
    FileView view;

    // A new file, written at close.
    bool isNew = false;
    std::unique_ptr<NewFile> save;
    uint16_t vendorId = 0, productId = 0, release = 0;
    std::vector<Target> targets;
};

Registry<DfuFileData> &files()
{
    // Never destroyed: operations may still run while static objects are torn down.
    static auto *registry = new Registry<DfuFileData>;
    return *registry;
}

// Reads the whole file while a second thread computes the suffix CRC of what has arrived
// (all but the last four bytes): the two overlap, so opening costs little more than the
// CRC alone. The buffer is owned, not mapped, so a file truncated meanwhile cannot fault.
DfuStatus readWithCrc(QFile &source, std::shared_ptr<uint8_t[]> &buffer, size_t &length, uint32_t &crc)
{
    const qint64 announced = source.size();
    if (announced < 0 || uint64_t(announced) > MaxFileSize)
        return DFU_ERROR_FILE_TOO_LARGE;
    const size_t capacity = size_t(announced);
    // Not value-initialized: every byte used is read from the file first.
    buffer.reset(new (std::nothrow) uint8_t[std::max<size_t>(capacity, 1)]);
    if (!buffer)
        return DFU_ERROR_OUT_OF_MEMORY;
    uint8_t *const bytes = buffer.get();

    constexpr size_t Chunk = size_t(1) << 20;
    // What the reader has read so far, and whether it is done; the CRC thread sleeps on
    // `moved` until there is more, rather than spinning.
    std::mutex progress;
    std::condition_variable moved;
    size_t arrived = 0;
    bool done = false;
    uLong running = crc32(0L, Z_NULL, 0);
    size_t checked = 0;
    auto crcUpTo = [&](size_t end) {
        while (checked < end) {
            const size_t n = std::min(end - checked, Chunk);
            running = crc32(running, bytes + checked, uInt(n));
            checked += n;
        }
    };
    std::thread worker;
    const bool parallel = capacity >= 2 * Chunk;
    if (parallel) {
        worker = std::thread([&] {
            for (;;) {
                bool finished;
                size_t available;
                {
                    std::unique_lock<std::mutex> lock(progress);
                    // Wait for a whole chunk beyond what is checked (and the 4 bytes that may be the CRC field).
                    moved.wait(lock, [&] { return done || arrived >= checked + Chunk + 4; });
                    finished = done;
                    available = arrived;
                }
                // Never past what may turn out to be the CRC field: the end is known only at the end.
                const size_t limit = available >= 4 ? available - 4 : 0;
                if (limit > checked)
                    crcUpTo(finished ? limit : limit - (limit - checked) % Chunk);
                if (finished)
                    return;
            }
        });
    }
    size_t total = 0;
    bool failed = false;
    while (total < capacity) {
        const qint64 n = source.read(reinterpret_cast<char *>(bytes + total), qint64(std::min(Chunk, capacity - total)));
        if (n <= 0) {
            failed = n < 0;
            break; // the file shrank since its size was taken: what was read is the file
        }
        total += size_t(n);
        {
            std::lock_guard<std::mutex> lock(progress);
            arrived = total;
        }
        moved.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(progress);
        done = true;
    }
    moved.notify_one();
    if (parallel)
        worker.join();
    if (failed)
        return DFU_ERROR_FILE_OPEN;
    if (checked > (total >= 4 ? total - 4 : 0)) {
        // Shorter than announced, and the CRC ran into the new suffix: start over.
        running = crc32(0L, Z_NULL, 0);
        checked = 0;
    }
    crcUpTo(total >= 4 ? total - 4 : 0);
    length = total;
    crc = uint32_t(running) ^ 0xFFFFFFFFu;
    return DFU_OK;
}

// No image may grow past what a .dfu file can hold.
bool fitsInFile(const Target &target, uint64_t more)
{
    uint64_t total = TargetPrefixSize + more;
    for (const Element &e : target.elements)
        total += ElementHeaderSize + e.size();
    return total <= MaxFileSize;
}

std::string boundedText(const char *text, size_t max)
{
    return std::string(text, strnlen(text, max));
}

} // namespace

DfuStatus DFUFILES_CreateImage(uint8_t alternate, const char *name, DfuImageHandle *image)
{
    if (!image || !name)
        return DFU_ERROR_INVALID_PARAMETER;
    auto data = std::make_shared<ImageData>();
    data->target.alternate = alternate;
    data->target.name = boundedText(name, TargetNameSize);
    *image = images().add(std::move(data));
    return DFU_OK;
}

DfuStatus DFUFILES_CreateImageFromMapping(DfuImageHandle *image, const DfuMappingRecord *record)
{
    if (!image || !record)
        return DFU_ERROR_INVALID_PARAMETER;
    return DFUFILES_CreateImage(record->alternate, boundedText(record->name, sizeof record->name).c_str(), image);
}

DfuStatus DFUFILES_SetImageName(DfuImageHandle image, const char *name)
{
    if (!name)
        return DFU_ERROR_INVALID_PARAMETER;
    const std::string bounded = boundedText(name, TargetNameSize);
    return images().with(image, [&](ImageData &d) { d.target.name = bounded; }) ? DFU_OK : DFU_ERROR_INVALID_HANDLE;
}

DfuStatus DFUFILES_GetImageName(DfuImageHandle image, char *buffer)
{
    if (!buffer)
        return DFU_ERROR_INVALID_PARAMETER;
    // Names are at most 255 bytes, so they always fit the 512-byte buffer.
    return images().with(image, [&](ImageData &d) { std::memcpy(buffer, d.target.name.c_str(), d.target.name.size() + 1); })
               ? DFU_OK
               : DFU_ERROR_INVALID_HANDLE;
}

DfuStatus DFUFILES_GetImageAlternate(DfuImageHandle image, uint8_t *alternate)
{
    if (!alternate)
        return DFU_ERROR_INVALID_PARAMETER;
    return images().with(image, [&](ImageData &d) { *alternate = d.target.alternate; }) ? DFU_OK
                                                                                         : DFU_ERROR_INVALID_HANDLE;
}

DfuStatus DFUFILES_DuplicateImage(DfuImageHandle image, DfuImageHandle *copy)
{
    if (!copy)
        return DFU_ERROR_INVALID_PARAMETER;
    std::shared_ptr<ImageData> duplicate;
    if (!images().with(image, [&](ImageData &d) { duplicate = std::make_shared<ImageData>(d); }))
        return DFU_ERROR_INVALID_HANDLE;
    *copy = images().add(std::move(duplicate));
    return DFU_OK;
}

DfuStatus DFUFILES_DestroyImage(DfuImageHandle *image)
{
    if (!image)
        return DFU_ERROR_INVALID_PARAMETER;
    if (!images().take(*image))
        return DFU_ERROR_INVALID_HANDLE;
    *image = 0;
    return DFU_OK;
}

DfuStatus DFUFILES_AppendElement(DfuImageHandle image, uint32_t address, const uint8_t *data, uint32_t size)
{
    if (!data && size > 0)
        return DFU_ERROR_INVALID_PARAMETER;
    if (uint64_t(address) + size > (uint64_t(1) << 32))
        return DFU_ERROR_ADDRESS;
    DfuStatus status = DFU_OK;
    const bool found = images().with(image, [&](ImageData &d) {
        if (!fitsInFile(d.target, ElementHeaderSize + uint64_t(size))) {
            status = DFU_ERROR_FILE_TOO_LARGE;
            return;
        }
        d.target.elements.emplace_back(address, std::vector<uint8_t>(data, data + size));
        d.filteredFor = 0;
        d.filterStatus = DFU_ERROR_NOT_FILTERED;
    });
    return found ? status : DFU_ERROR_INVALID_HANDLE;
}

DfuStatus DFUFILES_GetElementCount(DfuImageHandle image, uint32_t *count)
{
    if (!count)
        return DFU_ERROR_INVALID_PARAMETER;
    // Under the registry's lock: an upload may be filling the image meanwhile.
    return images().with(image, [&](ImageData &d) { *count = uint32_t(d.target.elements.size()); })
               ? DFU_OK
               : DFU_ERROR_INVALID_HANDLE;
}

DfuStatus DFUFILES_GetElement(DfuImageHandle image, uint32_t index, uint32_t *address, uint32_t *size, uint8_t *data,
                              uint32_t capacity)
{
    if (!address || !size)
        return DFU_ERROR_INVALID_PARAMETER;
    DfuStatus status = DFU_OK;
    const bool found = images().with(image, [&](ImageData &d) {
        if (index >= d.target.elements.size()) {
            status = DFU_ERROR_IMAGE_INDEX;
            return;
        }
        const Element &e = d.target.elements[index];
        *address = e.address;
        *size = uint32_t(e.size());
        if (data && !e.empty())
            std::memcpy(data, e.data(), std::min<size_t>(capacity, e.size()));
    });
    return found ? status : DFU_ERROR_INVALID_HANDLE;
}

namespace {

// Checks every element against the layout; collects the sectors it touches.
DfuStatus checkElements(const Target &target, const MemoryLayout &layout, bool needErase,
                        std::vector<Sector> &touched)
{
    bool anyData = false;
    for (const Element &e : target.elements) {
        if (e.empty())
            continue;
        anyData = true;
        DfuStatus status = DFU_OK;
        const bool inside = layout.forEachSector(e.address, e.size(), [&](const Sector &s) {
            const uint8_t needed = needErase ? (AccessErase | AccessWrite) : AccessWrite;
            if ((s.access & needed) != needed) {
                status = DFU_ERROR_NOT_WRITEABLE;
                return false;
            }
            if (std::none_of(touched.begin(), touched.end(), [&](const Sector &t) { return t.address == s.address; }))
                touched.push_back(s);
            return true;
        });
        if (!inside)
            return DFU_ERROR_ADDRESS;
        if (status != DFU_OK)
            return status;
    }
    // Nothing to write would end as a success that changed nothing.
    if (!anyData)
        return DFU_ERROR_EMPTY_IMAGE;
    std::sort(touched.begin(), touched.end(), [](const Sector &a, const Sector &b) { return a.address < b.address; });
    return DFU_OK;
}

DfuStatus planUpload(const MemoryLayout &layout, std::vector<std::pair<uint32_t, uint32_t>> &plan)
{
    uint64_t total = 0;
    for (const SectorGroup &g : layout.groups) {
        if (!(g.access & AccessRead))
            continue;
        const uint64_t size = g.end() - g.start;
        total += size;
        if (total > MaxFileSize)
            return DFU_ERROR_FILE_TOO_LARGE;
        // Contiguous readable groups become one element.
        if (!plan.empty() && uint64_t(plan.back().first) + plan.back().second == g.start)
            plan.back().second += uint32_t(size);
        else
            plan.emplace_back(g.start, uint32_t(size));
    }
    return DFU_OK;
}

// The ranges of an image's elements, to be read: each within readable sectors of the layout,
// whole. An element without bytes reads from its address to the end of the readable sectors
// that follow it without a gap.
DfuStatus planRanges(const Target &target, const MemoryLayout &layout, std::vector<std::pair<uint32_t, uint32_t>> &plan)
{
    uint64_t total = 0;
    for (const Element &e : target.elements) {
        const uint64_t start = e.address;
        const bool open = e.size() == 0;
        const uint64_t end = start + e.size();
        // Walk the readable groups from the one holding `start` for as long as they join up.
        uint64_t cursor = start;
        bool started = false;
        for (;;) {
            const auto g = std::find_if(layout.groups.begin(), layout.groups.end(),
                [&](const SectorGroup &x) { return cursor >= x.start && cursor < x.end(); });
            if (g == layout.groups.end())
                break;
            if (!(g->access & AccessRead))
                return DFU_ERROR_NOT_READABLE;
            started = true;
            cursor = open ? g->end() : std::min<uint64_t>(end, g->end());
            if (!open && cursor >= end)
                break;
        }
        if (!started)
            return DFU_ERROR_ADDRESS;
        if (!open && cursor < end)
            return DFU_ERROR_ADDRESS; // runs past the memory
        total += cursor - start;
        if (total > MaxFileSize)
            return DFU_ERROR_FILE_TOO_LARGE;
        plan.emplace_back(uint32_t(start), uint32_t(cursor - start));
    }
    return DFU_OK;
}

} // namespace

DfuStatus DFUFILES_FilterImageForOperation(DfuImageHandle image, const DfuMappingRecord *record, int32_t operation,
                                           uint32_t /*flags*/)
{
    if (!record)
        return DFU_ERROR_INVALID_PARAMETER;
    const auto mapping = mappings().get(record->mappingId);
    DfuStatus status = DFU_OK;
    const bool found = images().with(image, [&](ImageData &d) {
        d.filteredFor = operation;
        d.eraseSectors.clear();
        d.uploadPlan.clear();
        if (!mapping || record->alternateIndex >= mapping->layouts.size()) {
            status = DFU_ERROR_INVALID_PARAMETER;
        } else {
            d.layout = mapping->layouts[record->alternateIndex];
            d.filterAlternate = mapping->alternates[record->alternateIndex];
            switch (operation) {
            case DFU_OPERATION_ERASE:
            case DFU_OPERATION_DOWNLOAD:
                status = checkElements(d.target, d.layout, true, d.eraseSectors);
                break;
            case DFU_OPERATION_UPGRADE: {
                std::vector<Sector> unused;
                status = checkElements(d.target, d.layout, false, unused);
                break;
            }
            case DFU_OPERATION_UPLOAD:
                // An image with elements reads those ranges only; an empty one the whole memory.
                status = d.target.elements.empty() ? planUpload(d.layout, d.uploadPlan)
                                                   : planRanges(d.target, d.layout, d.uploadPlan);
                break;
            case DFU_OPERATION_RETURN:
                status = d.layout.regionStarts.empty() ? DFU_ERROR_LAYOUT : DFU_OK;
                break;
            default:
                status = DFU_ERROR_OPERATION;
                break;
            }
        }
        // Which of two overlapping elements a device should hold is a guess; a full write
        // would fail on the second one, a skipping one could pass without either in memory.
        Overlap overlap;
        if (status == DFU_OK && operation != DFU_OPERATION_UPLOAD && operation != DFU_OPERATION_RETURN
            && findOverlap(spansOf(d.target), overlap)) {
            dfulib::log(DFU_LOG_WARNING,
                "DFU: elements %zu and %zu of image \"%s\" overlap at 0x%08X; nothing is written.", overlap.first,
                overlap.second, d.target.name.c_str(), overlap.address);
            status = DFU_ERROR_OVERLAP;
        }
        d.filterStatus = status;
    });
    return found ? status : DFU_ERROR_INVALID_HANDLE;
}

namespace {

// Parses a whole file held in `bytes` (its suffix CRC computed already, or not) and registers it.
DfuStatus openParsed(std::shared_ptr<uint8_t[]> bytes, size_t length, const uint32_t *crc, DfuFileHandle *file,
                     uint16_t *vendorId, uint16_t *productId, uint16_t *release, uint8_t *imageCount)
{
    auto data = std::make_shared<DfuFileData>();
    const DfuStatus status = parseFile(bytes.get(), length, data->view, crc);
    if (status != DFU_OK)
        return status;
    data->bytes = std::move(bytes);
    *vendorId = data->view.idVendor;
    *productId = data->view.idProduct;
    *release = data->view.bcdDevice;
    *imageCount = uint8_t(data->view.targets.size());
    *file = files().add(std::move(data));
    return DFU_OK;
}

} // namespace

DfuStatus DFUFILES_OpenExistingDFUFile(const char *path, DfuFileHandle *file, uint16_t *vendorId, uint16_t *productId,
                                       uint16_t *release, uint8_t *imageCount)
{
    if (!path || !file || !vendorId || !productId || !release || !imageCount)
        return DFU_ERROR_INVALID_PARAMETER;
    QFile source(QString::fromLocal8Bit(path));
    if (!source.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return DFU_ERROR_FILE_OPEN;
    std::shared_ptr<uint8_t[]> bytes;
    size_t length = 0;
    uint32_t crc = 0;
    const DfuStatus read = readWithCrc(source, bytes, length, crc);
    if (read != DFU_OK)
        return read;
    return openParsed(std::move(bytes), length, length >= 4 ? &crc : nullptr, file, vendorId, productId, release,
                      imageCount);
}

DfuStatus DFUFILES_OpenDFUFileFromMemory(const uint8_t *bytes, uint32_t size, DfuFileHandle *file, uint16_t *vendorId,
                                         uint16_t *productId, uint16_t *release, uint8_t *imageCount)
{
    if ((!bytes && size) || !file || !vendorId || !productId || !release || !imageCount)
        return DFU_ERROR_INVALID_PARAMETER;
    if (size > MaxFileSize)
        return DFU_ERROR_FILE_TOO_LARGE;
    // A copy of its own: the images share it, and the caller may free its bytes at once.
    std::shared_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[std::max<size_t>(size, 1)]);
    if (!copy)
        return DFU_ERROR_OUT_OF_MEMORY;
    if (size)
        std::memcpy(copy.get(), bytes, size);
    return openParsed(std::move(copy), size, nullptr, file, vendorId, productId, release, imageCount);
}

DfuStatus DFUFILES_ReadImageFromDFUFile(DfuFileHandle file, int32_t index, DfuImageHandle *image)
{
    if (!image)
        return DFU_ERROR_INVALID_PARAMETER;
    const auto data = files().get(file);
    if (!data || data->isNew)
        return DFU_ERROR_INVALID_HANDLE;
    if (index < 0 || size_t(index) >= data->view.targets.size())
        return DFU_ERROR_IMAGE_INDEX;
    const TargetView &view = data->view.targets[size_t(index)];
    auto image_ = std::make_shared<ImageData>();
    image_->target.alternate = view.alternate;
    image_->target.name = view.name;
    image_->target.elements.reserve(view.elements.size());
    for (const ElementView &ev : view.elements)
        image_->target.elements.emplace_back(ev.address, std::shared_ptr<const uint8_t>(data->bytes, ev.data), ev.size);
    *image = images().add(std::move(image_));
    return DFU_OK;
}

DfuStatus DFUFILES_CreateNewDFUFile(const char *path, DfuFileHandle *file, uint16_t vendorId, uint16_t productId,
                                    uint16_t release)
{
    return DFUFILES_CreateNewDFUFileEx(path, file, vendorId, productId, release, 0);
}

DfuStatus DFUFILES_CreateNewDFUFileEx(
    const char *path, DfuFileHandle *file, uint16_t vendorId, uint16_t productId, uint16_t release, uint32_t flags)
{
    if (!path || !file || !*path)
        return DFU_ERROR_INVALID_PARAMETER;
    auto data = std::make_shared<DfuFileData>();
    data->isNew = true;
    data->save = std::make_unique<NewFile>();
    // Opening now creates the temporary file beside the destination, so an unwritable
    // folder is reported here rather than after a long upload.
    std::string why;
    switch (data->save->open(path, !(flags & DFU_NEW_FILE_KEEP_EXISTING), why)) {
    case NewFile::Result::Ok: break;
    case NewFile::Result::Exists: return DFU_ERROR_FILE_EXISTS;
    case NewFile::Result::Failed: return DFU_ERROR_FILE_WRITE;
    }
    data->vendorId = vendorId;
    data->productId = productId;
    data->release = release;
    *file = files().add(std::move(data));
    return DFU_OK;
}

DfuStatus DFUFILES_AppendImageToDFUFile(DfuFileHandle file, DfuImageHandle image)
{
    Target copy;
    if (!images().with(image, [&](ImageData &d) { copy = d.target; }))
        return DFU_ERROR_INVALID_HANDLE;
    // Appended under the file registry's lock, so that appends from several threads all land.
    DfuStatus status = DFU_OK;
    const bool found = files().with(file, [&](DfuFileData &data) {
        if (!data.isNew)
            status = DFU_ERROR_INVALID_HANDLE;
        else if (data.targets.size() >= 255)
            status = DFU_ERROR_INVALID_PARAMETER;
        else
            data.targets.push_back(std::move(copy));
    });
    return found ? status : DFU_ERROR_INVALID_HANDLE;
}

DfuStatus DFUFILES_CloseDFUFile(DfuFileHandle file)
{
    return DFUFILES_CloseDFUFileDigest(file, nullptr);
}

DfuStatus DFUFILES_CloseDFUFileDigest(DfuFileHandle file, uint8_t *sha256)
{
    const auto data = files().take(file);
    if (!data)
        return DFU_ERROR_INVALID_HANDLE;
    if (!data->isNew)
        return DFU_OK; // the mapping and the file close with the object
    std::vector<uint8_t> bytes;
    const DfuStatus status = buildFile(data->vendorId, data->productId, data->release, data->targets, bytes);
    if (status != DFU_OK) {
        data->save->cancel();
        return status;
    }
    // The digest of the very bytes written, not of whatever the path names afterwards.
    if (sha256) {
        const QByteArray digest = QCryptographicHash::hash(
            QByteArrayView(reinterpret_cast<const char *>(bytes.data()), qsizetype(bytes.size())),
            QCryptographicHash::Sha256);
        std::memcpy(sha256, digest.constData(), 32);
    }
    std::string why;
    switch (data->save->commit(bytes.data(), bytes.size(), why)) {
    case NewFile::Result::Ok: return DFU_OK;
    case NewFile::Result::Exists: return DFU_ERROR_FILE_EXISTS;
    case NewFile::Result::Failed: break;
    }
    return DFU_ERROR_FILE_WRITE;
}
