#include "DfuFileFormat.h"

#include "LittleEndian.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace dfulib {

namespace {

const uint8_t FileSignature[5] = {'D', 'f', 'u', 'S', 'e'};
const uint8_t TargetSignature[6] = {'T', 'a', 'r', 'g', 'e', 't'};
const uint8_t SuffixSignature[3] = {'U', 'F', 'D'};

using tolvex::le16;
using tolvex::le32;
using tolvex::setLe32;

void put16(std::vector<uint8_t> &out, uint16_t v)
{
    tolvex::putLe(out, v, 2);
}

void put32(std::vector<uint8_t> &out, uint32_t v)
{
    tolvex::putLe(out, v, 4);
}

} // namespace

uint32_t suffixCrc(const uint8_t *data, size_t size)
{
    // zlib's crc32 is the reflected CRC-32 with the inversions; the suffix keeps the
    // register without the final inversion, so undo it.
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt chunk = uInt(std::min<size_t>(size, std::numeric_limits<uInt>::max()));
        crc = crc32(crc, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return uint32_t(crc) ^ 0xFFFFFFFFu;
}

Element::Element(uint32_t address, std::vector<uint8_t> owned) : address(address), length(owned.size())
{
    if (!owned.empty()) {
        auto storage = std::make_shared<const std::vector<uint8_t>>(std::move(owned));
        bytes = std::shared_ptr<const uint8_t>(storage, storage->data());
    }
}

Element::Element(uint32_t address, std::shared_ptr<const uint8_t> bytes, size_t length)
    : address(address), bytes(std::move(bytes)), length(length)
{
}

DfuStatus parseFile(const uint8_t *data, size_t size, FileView &out, const uint32_t *knownCrc)
{
    out = FileView();
    if (size > MaxFileSize)
        return DFU_ERROR_FILE_TOO_LARGE;
    const bool hasPrefix = size >= FilePrefixSize && std::memcmp(data, FileSignature, sizeof FileSignature) == 0;
    const bool hasSuffix = size >= SuffixSize
                           && std::memcmp(data + size - SuffixSize + 8, SuffixSignature, sizeof SuffixSignature) == 0;
    if (!hasPrefix)
        return hasSuffix ? DFU_ERROR_FILE_PLAIN_DFU : DFU_ERROR_FILE_NOT_DFU;
    if (size < FilePrefixSize + SuffixSize)
        return DFU_ERROR_FILE_TRUNCATED;
    if (data[5] != 0x01)
        return DFU_ERROR_FILE_VERSION;

    const uint8_t *suffix = data + size - SuffixSize;
    if (!hasSuffix || suffix[11] != SuffixSize)
        return DFU_ERROR_FILE_SUFFIX;
    out.bcdDevice = le16(suffix);
    out.idProduct = le16(suffix + 2);
    out.idVendor = le16(suffix + 4);
    out.bcdDFU = le16(suffix + 6);
    out.crc = le32(suffix + 12);
    if (out.bcdDFU != ExtendedDfuVersion)
        return DFU_ERROR_FILE_SUFFIX;
    if ((knownCrc ? *knownCrc : suffixCrc(data, size - 4)) != out.crc)
        return DFU_ERROR_FILE_CRC;

    const size_t bodyEnd = size - SuffixSize;
    if (le32(data + 6) != bodyEnd)
        return DFU_ERROR_FILE_SIZE_MISMATCH;
    const unsigned targetCount = data[10];

    size_t pos = FilePrefixSize;
    out.targets.reserve(targetCount);
    for (unsigned t = 0; t < targetCount; ++t) {
        if (bodyEnd - pos < TargetPrefixSize)
            return DFU_ERROR_FILE_TRUNCATED;
        const uint8_t *tp = data + pos;
        if (std::memcmp(tp, TargetSignature, sizeof TargetSignature) != 0)
            return DFU_ERROR_FILE_TARGET;
        TargetView target;
        target.alternate = tp[6];
        target.named = le32(tp + 7) != 0;
        if (target.named) {
            const char *name = reinterpret_cast<const char *>(tp + 11);
            target.name.assign(name, strnlen(name, TargetNameSize));
        }
        const uint32_t targetSize = le32(tp + 266);
        const uint32_t elementCount = le32(tp + 270);
        pos += TargetPrefixSize;
        if (targetSize > bodyEnd - pos)
            return DFU_ERROR_FILE_TRUNCATED;
        // Each element needs at least its header: bounds the count before anything is reserved.
        if (elementCount > targetSize / ElementHeaderSize)
            return DFU_ERROR_FILE_TARGET;
        const size_t targetEnd = pos + targetSize;
        target.elements.reserve(elementCount);
        for (uint32_t e = 0; e < elementCount; ++e) {
            if (targetEnd - pos < ElementHeaderSize)
                return DFU_ERROR_FILE_TARGET;
            ElementView element;
            element.address = le32(data + pos);
            element.size = le32(data + pos + 4);
            pos += ElementHeaderSize;
            if (element.size > targetEnd - pos)
                return DFU_ERROR_FILE_TARGET;
            if (uint64_t(element.address) + element.size > (uint64_t(1) << 32))
                return DFU_ERROR_FILE_TARGET;
            element.data = data + pos;
            pos += element.size;
            target.elements.push_back(element);
        }
        if (pos != targetEnd)
            return DFU_ERROR_FILE_TARGET; // the target size must be the sum of its elements
        out.targets.push_back(std::move(target));
    }
    if (pos != bodyEnd)
        return DFU_ERROR_FILE_SIZE_MISMATCH;
    return DFU_OK;
}

std::vector<Target> copyTargets(const FileView &view)
{
    std::vector<Target> targets(view.targets.size());
    for (size_t i = 0; i < view.targets.size(); ++i) {
        targets[i].alternate = view.targets[i].alternate;
        targets[i].name = view.targets[i].name;
        for (const ElementView &e : view.targets[i].elements)
            targets[i].elements.emplace_back(e.address, std::vector<uint8_t>(e.data, e.data + e.size));
    }
    return targets;
}

bool findOverlap(const std::vector<std::pair<uint32_t, uint32_t>> &spans, Overlap &out)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < spans.size(); ++i) {
        if (spans[i].second != 0)
            order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return spans[a].first < spans[b].first; });
    // Sorted by start, a span overlaps an earlier one exactly when it starts before the
    // furthest end seen so far.
    size_t furthest = 0;
    uint64_t furthestEnd = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const size_t i = order[k];
        if (k > 0 && spans[i].first < furthestEnd) {
            out.first = std::min(furthest, i);
            out.second = std::max(furthest, i);
            out.address = spans[i].first;
            return true;
        }
        const uint64_t end = uint64_t(spans[i].first) + spans[i].second;
        if (k == 0 || end > furthestEnd) {
            furthestEnd = end;
            furthest = i;
        }
    }
    return false;
}

std::vector<std::pair<uint32_t, uint32_t>> spansOf(const Target &target)
{
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (const Element &e : target.elements)
        spans.emplace_back(e.address, uint32_t(std::min<size_t>(e.size(), UINT32_MAX)));
    return spans;
}

std::vector<std::pair<uint32_t, uint32_t>> spansOf(const TargetView &target)
{
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    for (const ElementView &e : target.elements)
        spans.emplace_back(e.address, e.size);
    return spans;
}

DfuStatus buildFile(uint16_t vendorId, uint16_t productId, uint16_t release, const std::vector<Target> &targets,
                    std::vector<uint8_t> &out)
{
    out.clear();
    if (targets.size() > 255)
        return DFU_ERROR_INVALID_PARAMETER;
    uint64_t total = FilePrefixSize + SuffixSize;
    for (const Target &t : targets) {
        if (t.name.size() > TargetNameSize)
            return DFU_ERROR_INVALID_PARAMETER;
        Overlap overlap;
        if (findOverlap(spansOf(t), overlap))
            return DFU_ERROR_OVERLAP;
        total += TargetPrefixSize;
        for (const Element &e : t.elements) {
            if (e.size() > std::numeric_limits<uint32_t>::max())
                return DFU_ERROR_INVALID_PARAMETER;
            total += ElementHeaderSize + e.size();
        }
    }
    if (total > MaxFileSize)
        return DFU_ERROR_FILE_TOO_LARGE;
    out.reserve(size_t(total));

    out.insert(out.end(), FileSignature, FileSignature + sizeof FileSignature);
    out.push_back(0x01);
    put32(out, uint32_t(total - SuffixSize));
    out.push_back(uint8_t(targets.size()));
    for (const Target &t : targets) {
        out.insert(out.end(), TargetSignature, TargetSignature + sizeof TargetSignature);
        out.push_back(t.alternate);
        put32(out, t.name.empty() ? 0 : 1);
        const size_t nameAt = out.size();
        out.resize(nameAt + TargetNameSize, 0);
        std::memcpy(out.data() + nameAt, t.name.data(), t.name.size());
        const size_t sizeAt = out.size();
        put32(out, 0);
        put32(out, uint32_t(t.elements.size()));
        uint32_t targetSize = 0;
        for (const Element &e : t.elements) {
            put32(out, e.address);
            put32(out, uint32_t(e.size()));
            out.insert(out.end(), e.data(), e.data() + e.size());
            targetSize += uint32_t(ElementHeaderSize + e.size());
        }
        setLe32(out, sizeAt, targetSize);
    }
    put16(out, release);
    put16(out, productId);
    put16(out, vendorId);
    put16(out, ExtendedDfuVersion);
    out.insert(out.end(), SuffixSignature, SuffixSignature + sizeof SuffixSignature);
    out.push_back(uint8_t(SuffixSize));
    put32(out, suffixCrc(out.data(), out.size()));
    return DFU_OK;
}

} // namespace dfulib
